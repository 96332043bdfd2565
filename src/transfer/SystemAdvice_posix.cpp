#include "SystemAdvice.h"

#include "BindHelper.h"

#include <pwd.h>
#include <unistd.h>

#include <string>

namespace {
// The user's login name, or the number when the system knows no name for it.
std::string UserName()
{
    passwd Entry{}, *Found = nullptr;
    char Buffer[1024];
    if (::getpwuid_r(::getuid(), &Entry, Buffer, sizeof Buffer, &Found) == 0 && Found)
        return Found->pw_name;
    return std::to_string(::getuid());
}
} // namespace

void DescribePortRefusal(TSetUp &SetUp)
{
    // Ports below 1024 need a capability here. The program itself has none:
    // its helper binds the port, on the address of one interface only. The
    // package lets only root and its group txloader run it.
    SetUp.BindHelper = BindHelperPath();
    const char *Helper = SetUp.BindHelper.c_str();
    SetUp.HelperRunnable = !(::access(Helper, F_OK) == 0 && ::access(Helper, X_OK) != 0);
    SetUp.User = UserName();
}
