"""A pymodbus server speaking Modbus RTU frames over UDP on loopback, for the
transport tests. Holding register i holds (base + i * step) mod 65536 for
i < count, the values the tests compute the same way. Prints "PORT <n>" once it listens and runs until its stdin closes."""

import argparse
import asyncio
import logging
import sys

from pymodbus.datastore import ModbusSequentialDataBlock, ModbusServerContext, ModbusSlaveContext
from pymodbus.server.async_io import ModbusUdpServer
from pymodbus.transaction import ModbusRtuFramer


async def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--port", type=int, default=0)
    parser.add_argument("--count", type=int, default=300)
    parser.add_argument("--base", type=int, default=0)
    parser.add_argument("--step", type=int, default=1)
    args = parser.parse_args()
    values = [(args.base + i * args.step) % 65536 for i in range(args.count)]

    # zero_mode: request address 0 is the block's first value.
    block = ModbusSequentialDataBlock(0, values)
    store = ModbusSlaveContext(hr=block, zero_mode=True)
    context = ModbusServerContext(slaves=store, single=True)
    server = ModbusUdpServer(context, framer=ModbusRtuFramer, address=("127.0.0.1", args.port))
    serving = asyncio.ensure_future(server.serve_forever())
    await asyncio.wait_for(server.serving, 10)
    port = server.protocol.get_extra_info("sockname")[1]
    print(f"PORT {port}", flush=True)

    loop = asyncio.get_running_loop()
    await loop.run_in_executor(None, sys.stdin.read)  # the test closes our stdin to stop us
    await server.server_close()
    serving.cancel()


if __name__ == "__main__":
    logging.disable(logging.CRITICAL)  # a cancelled handler at shutdown is no news
    asyncio.run(main())
