#pragma once
#include "support/ChildProcess.h"

#include <string>

// Two linked pseudo-terminals made by socat, a null-modem cable between two
// serial ports. Both ends are also held open here, so that a program closing
// and reopening its end does not end socat's transfer.
class CPtyPair {
   public:
    ~CPtyPair() { Stop(); }
    // False when socat does not report both ends within 5 s.
    bool Start();
    void Stop();
    const std::string& EndA() const { return m_ends[0]; }
    const std::string& EndB() const { return m_ends[1]; }
    // The descriptors held on the two ends (for reading the line settings).
    int KeeperA() const { return m_keepers[0]; }
    int KeeperB() const { return m_keepers[1]; }

   private:
    CChildProcess m_socat;
    std::string m_ends[2];
    int m_keepers[2] = {-1, -1};
};
