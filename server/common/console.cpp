#include "console.h"

#include <iostream>
#include <mutex>

namespace kestrune
{

void consoleLine(const std::string& line)
{
    static std::mutex mutex;
    std::lock_guard guard(mutex);
    std::cout << line << std::endl;
}

} // namespace kestrune
