#pragma once

#include "link/codec/pklib.h"

// The compressor before its search was rebuilt: the same arguments and, by
// the codec tests, the very same streams as PklibCompress.
unsigned PklibCompressBefore(PklibReadFn read, PklibWriteFn write, char* workArea, void* context,
                             unsigned* literalCoding, unsigned* dictSize);
