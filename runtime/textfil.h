// Includes the runtime's log and text-file headers together.
#pragma once

#include "log.h"
#include "textfile.h"
