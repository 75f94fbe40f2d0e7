// Kept while the registry room's contract test still names the old place; the machine lives in machine/.
#pragma once

#include "machine/journal.h"
