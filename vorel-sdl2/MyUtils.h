// The MyUtils helpers in one include: tick intervals and clock strings,
// system and network utilities, text and number helpers, and (full build)
// the image caches and helpers.
#pragma once

#include "MyUtilsSystem.h"
#include "MyUtilsText.h"
#include "MyUtilsTime.h"

#ifndef VOREL_NOGFX
#include "MyUtilsImages.h"
#endif
