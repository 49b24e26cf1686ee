#include "common/display_settings.h"

DisplaySettings displaySettings;
