#pragma once

#include "support/test_files.h"

// The fax tests name the shared scratch folders and whole-file helpers as
// their own.
namespace FaxTest {
using ::ReadFile;
using ::TScratch;
using ::WriteFile;
} // namespace FaxTest
