// The plug-in is built with hidden visibility; only entry points carry this.
#pragma once

#define BB_EXPORT extern "C" __attribute__((visibility("default")))
