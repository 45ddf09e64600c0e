/* The settings of the kestrova plug-in, as the core modules include them. */
#ifndef KESTROVA_GLOBALS_H
#define KESTROVA_GLOBALS_H

#include "kestrova.h"

#endif
