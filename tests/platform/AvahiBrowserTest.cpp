#include "AvahiQtPoll.h"

#include <gtest/gtest.h>

TEST(AvahiQtPoll, Builds) {
    knobly::AvahiQtPoll poll;
    EXPECT_NE(poll.poll(), nullptr);
}
