// The compressor before its search was rebuilt, for the differential test.
#pragma once

#include "codec_helpers.h"

ImplodeResult ReferenceImplode(std::string_view data, unsigned coding, unsigned dictSize);
