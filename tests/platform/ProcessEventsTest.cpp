// Signals and wake-ups read from descriptors. Each case runs in a copy of
// the test process, because the signals stay blocked in a process that
// watched them.
#include "platform/ProcessEvents.h"
#include "support/ChildProcess.h"

#include <chrono>
#include <csignal>
#include <gtest/gtest.h>
#include <thread>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;

int InChild(const std::function<int()>& body)
{
    CChildProcess child;
    if (!child.Fork(body)) return -1;
    return child.Wait(10s).Status();
}

TEST(ProcessEvents, SignalsArriveAsEventsAndDoNotEndTheProcess)
{
    EXPECT_EQ(InChild([] {
                  CProcessEvents events;
                  if (!events.Open()) return 1;
                  ::kill(::getpid(), SIGTERM);
                  ::kill(::getpid(), SIGHUP);
                  ::kill(::getpid(), SIGPIPE);  // ignored
                  const CProcessEvents::Pending p = events.Wait(5000);
                  if (!p.Has(ProcessSignal::Terminate) || !p.Has(ProcessSignal::Reload)) return 2;
                  if (p.Has(ProcessSignal::Interrupt) || p.woken) return 3;
                  ::kill(::getpid(), SIGINT);
                  if (!events.Wait(5000).Has(ProcessSignal::Interrupt)) return 4;
                  // Taken: nothing is left.
                  const CProcessEvents::Pending none = events.Wait(0);
                  return none.signals == 0 && !none.woken ? 0 : 5;
              }),
              0);
}

TEST(ProcessEvents, WakeFromAnotherThreadEndsTheWait)
{
    EXPECT_EQ(InChild([] {
                  CProcessEvents events;
                  if (!events.Open()) return 1;
                  std::thread waker([&] {
                      std::this_thread::sleep_for(50ms);
                      events.Wake();
                  });
                  const CProcessEvents::Pending p = events.Wait(5000);
                  waker.join();
                  if (!p.woken || p.signals != 0) return 2;
                  // Two wake-ups before a reading are one.
                  events.Wake();
                  events.Wake();
                  if (!events.Wait(0).woken) return 3;
                  return events.Wait(0).woken ? 4 : 0;
              }),
              0);
}

}  // namespace
