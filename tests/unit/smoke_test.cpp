#include <gtest/gtest.h>
#include "codec/level_settings.h"
TEST(Skeleton, LevelSettingsStartsZero) { qv5::LevelSettings s; EXPECT_EQ(s.level, 0); }
