// The library's status value: kinds, messages and the first-failure rule.
#include <gtest/gtest.h>

#include "BIGfile/BIG_Status.h"

namespace {

TEST(BigStatus, KindsCarryTheirMessage) {
    struct Case {
        BIG::Status status;
        BIG::StatusKind kind;
        const char* text;
    };
    const Case cases[] = {
        {BIG::Status::NotFound("key 0x100"), BIG::StatusKind::eNotFound, "not found: key 0x100"},
        {BIG::Status::Corrupt("root missing"), BIG::StatusKind::eCorrupt, "corrupt: root missing"},
        {BIG::Status::IOError("write failed"), BIG::StatusKind::eIOError, "I/O error: write failed"},
        {BIG::Status::InvalidArgument("bad index"), BIG::StatusKind::eInvalidArgument,
         "invalid argument: bad index"},
    };
    for (const Case& c : cases) {
        EXPECT_FALSE(c.status.bOk()) << c.text;
        EXPECT_EQ(c.status.eKind(), c.kind) << c.text;
        EXPECT_EQ(c.status.ToString(), c.text);
    }
    EXPECT_TRUE(BIG::Status::Ok().bOk());
    EXPECT_EQ(BIG::Status().ToString(), "OK");
}

TEST(BigStatus, AFailureIsNeverOverwrittenByALaterOk) {
    BIG::Status run;
    run.Update(BIG::Status::Ok());
    EXPECT_TRUE(run.bOk());
    run.Update(BIG::Status::IOError("first"));
    run.Update(BIG::Status::Ok());
    run.Update(BIG::Status::Corrupt("second"));
    EXPECT_EQ(run.eKind(), BIG::StatusKind::eIOError);
    EXPECT_EQ(run.Message(), "first");
}

}  // namespace
