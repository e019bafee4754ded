// Shared by the key hash table and key holder tests: collects the assertions
// raised while an object of this class lives, with the assertion call in its
// automatic mode so that nothing waits for an answer.
#pragma once

#include <string>
#include <vector>

#include "ERRor/ERR_Assert.h"
#include "ERRor/ERR_Log.h"
#include "tests/support/LogCapture.h"

// Assertions only.
struct HashTestAssertions : test_support::LogCapture {
    HashTestAssertions() : LogCapture({ERR_Level_Assert}) {}
};
