#include "support/ScopedEnv.h"

#include <cstdlib>
#include <ctime>

CScopedEnv::CScopedEnv(const char* name, const char* value) : m_name(name)
{
    const char* old = std::getenv(name);
    m_had = old != nullptr;
    if (m_had) m_old = old;
    if (value != nullptr) {
        ::setenv(name, value, 1);
    } else {
        ::unsetenv(name);
    }
    ::tzset();
}

CScopedEnv::~CScopedEnv()
{
    if (m_had) {
        ::setenv(m_name.c_str(), m_old.c_str(), 1);
    } else {
        ::unsetenv(m_name.c_str());
    }
    ::tzset();
}
