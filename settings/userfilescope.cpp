#include "userfilescope.h"

#include "zt_reg.h"

namespace settings {

namespace {

int g_depth = 0;

} // namespace

UserFileScope::UserFileScope()
{
    if (g_depth++ == 0)
        rt::useuserini();
}

UserFileScope::~UserFileScope()
{
    if (--g_depth == 0) {
        rt::inistandard();
        rt::usemainini();
    }
}

} // namespace settings
