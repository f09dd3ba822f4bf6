#!/usr/bin/env bash
# Builds the Debian package from a build tree with CPack, unpacks it into a
# temporary root and runs the unpacked programs from there: their links, run
# path and cipher library must work without the build tree.
# Usage: deb-package.sh BUILD_DIR [CMAKE]
set -euo pipefail
build=$1
cpack=$(dirname "${2:-cmake}")/cpack
[ -x "${cpack}" ] || cpack=cpack
work=$(mktemp -d)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "${pid}" 2>/dev/null || true; done
  wait
  rm -rf "${work}"
}
trap cleanup EXIT
fail() {
  echo "FAIL: $*" >&2
  exit 1
}
# Waits up to 20 s for a line matching the pattern in the file.
wait_line() {
  for _ in $(seq 200); do
    grep -q "$2" "$1" 2>/dev/null && return 0
    sleep 0.1
  done
  fail "no line '$2' in $1: $(cat "$1" 2>/dev/null)"
}

(cd "${work}" && timeout 280 "${cpack}" --config "${build}/CPackConfig.cmake" -B "${work}/out") \
  >"${work}/cpack.log" 2>&1 || { cat "${work}/cpack.log"; fail "cpack"; }
debs=("${work}"/out/*.deb)
[ "${#debs[@]}" -eq 1 ] || fail "more than one package: ${debs[*]}"
deb=${debs[0]}
version=$(dpkg-deb -f "${deb}" Version)
[ "$(basename "${deb}")" = "opcvireo2_${version}_amd64.deb" ] || fail "file name $(basename "${deb}")"
depends=$(dpkg-deb -f "${deb}" Depends)
for package in libc6 libstdc++6 libqt6widgets6; do
  [[ "${depends}" == *"${package} ("* ]] || fail "Depends lacks ${package}: ${depends}"
done

root=${work}/root
dpkg-deb -x "${deb}" "${root}"
lib=${root}/usr/lib/opcvireo2
for program in OpcVireo2 vireo-config vireo2-sim vireo-itemlist; do
  [ "$(readlink "${root}/usr/bin/${program}")" = "../lib/opcvireo2/${program}" ] ||
    fail "/usr/bin/${program} is not a link to /usr/lib/opcvireo2/${program}"
  # Nothing of the build tree may stay in the run path.
  runpath=$(readelf -d "${lib}/${program}" | sed -n 's/.*R\(UN\)\?PATH.*\[\(.*\)\]/\2/p')
  [ "${runpath}" = '$ORIGIN' ] || fail "${program}: run path '${runpath}'"
done
for file in lib/opcvireo2/libZellDAServer.so lib/opcvireo2/libmardelCrypto.so \
  lib/systemd/system/opcvireo2.socket lib/systemd/system/opcvireo2.service \
  lib/systemd/user/opcvireo2-config.service share/applications/opcvireo2.desktop \
  share/doc/opcvireo2/OpcVireo2.html share/icons/hicolor/64x64/apps/opcvireo2.png; do
  [ -f "${root}/usr/${file}" ] || fail "missing /usr/${file}"
done

# The unpacked programs, started through their links, with folders of their own.
unset LD_LIBRARY_PATH
export XDG_DATA_HOME=${work}/data XDG_CONFIG_HOME=${work}/config XDG_RUNTIME_DIR=${work}/run
mkdir -p "${XDG_DATA_HOME}" "${XDG_CONFIG_HOME}" "${XDG_RUNTIME_DIR}"
# Outputs are taken whole before they are searched: grep -q ending early
# would fail the writer with SIGPIPE under pipefail.
libraries=$(ldd "${lib}/OpcVireo2")
[[ "${libraries}" == *"libZellDAServer.so => ${lib}/libZellDAServer.so "* ]] ||
  fail "the toolkit is not taken from beside the program: ${libraries}"
[ "$(timeout 20 "${root}/usr/bin/OpcVireo2" --version)" = "OpcVireo2 ${version}.0" ] || fail "--version"
timeout 20 "${root}/usr/bin/OpcVireo2" /regserver || fail "/regserver"
grep -rqF "${lib}/OpcVireo2" "${XDG_CONFIG_HOME}" || fail "the registration does not name the unpacked program"

# A key needs the cipher library from the simulator's own folder.
"${root}/usr/bin/vireo2-sim" --static --key demo --tcp 127.0.0.1:0 >"${work}/sim.out" 2>&1 &
pids+=($!)
wait_line "${work}/sim.out" '^ready'
sim_port=$(sed -n 's/^tcp 127\.0\.0\.1:\([0-9]*\)$/\1/p' "${work}/sim.out")
timeout 20 "${root}/usr/bin/vireo-config" add tcp Demo address=127.0.0.1 "port=${sim_port}" key=demo >/dev/null ||
  fail "vireo-config add"
shown=$(timeout 20 "${root}/usr/bin/vireo-config" show)
[[ "${shown}" == *Demo*"127.0.0.1:${sim_port}"* ]] || fail "vireo-config show: ${shown}"

# A short server run: started, serving, ended in order by SIGTERM.
statistics="${XDG_DATA_HOME}/OPC-сервер комлекта Вирео-2 версии 300/OpcVireo2.txt"
"${root}/usr/bin/OpcVireo2" --listen 127.0.0.1:0 &
server=$!
pids+=("${server}")
wait_line "${statistics}" 'Запуск в основном режиме'
kill -TERM "${server}"
status=0
timeout 30 tail --pid="${server}" -f /dev/null || fail "the server did not end within 30 s"
wait "${server}" || status=$?
[ "${status}" -eq 0 ] || fail "the server ended with ${status}"
grep -q 'Завершение работы OPC-сервера' "${statistics}" || fail "no stop line"
echo "package $(basename "${deb}") unpacked and run"
