#include "SettingsWindow.h"
