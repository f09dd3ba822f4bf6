#pragma once
#include <string>

// Sets an environment variable (or removes it, for a null value) for the
// life of the object and puts the old state back. The time zone is read
// again both times, so a TZ change takes effect at once.
class CScopedEnv {
   public:
    CScopedEnv(const char* name, const char* value);
    CScopedEnv(const char* name, const std::string& value) : CScopedEnv(name, value.c_str()) {}
    ~CScopedEnv();
    CScopedEnv(const CScopedEnv&) = delete;
    CScopedEnv& operator=(const CScopedEnv&) = delete;

   private:
    std::string m_name;
    bool m_had = false;
    std::string m_old;
};
