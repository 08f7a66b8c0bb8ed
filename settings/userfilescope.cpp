#include "userfilescope.h"

#include "settingsaccess.h"

namespace settings {

namespace {

int g_depth = 0;

} // namespace

UserFileScope::UserFileScope()
{
    if (g_depth++ == 0)
        rt::useUserSettingsFile();
}

UserFileScope::~UserFileScope()
{
    if (--g_depth == 0) {
        rt::selectStandardSection();
        rt::useMainSettingsFile();
    }
}

} // namespace settings
