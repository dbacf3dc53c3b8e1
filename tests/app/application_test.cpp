#include "app/application.h"

#include <gtest/gtest.h>

#include "runtime/exceptions.h"
#include "tests/app/qt_test_support.h"

namespace {

// The one application object of the test program.
class TQtEnvironment : public ::testing::Environment {
 public:
  void SetUp() override { app_ = std::make_unique<TApplication>(argc_, argv_); }
  void TearDown() override { app_.reset(); }

 private:
  int argc_ = 1;
  char name_[10] = "app_tests";
  char* argv_[2] = {name_, nullptr};
  std::unique_ptr<TApplication> app_;
};

[[maybe_unused]] ::testing::Environment* const kQtEnvironment =
    ::testing::AddGlobalTestEnvironment(new TQtEnvironment);

TEST(TApplicationTest, GuardedShowsTheMessageInABoxAndGoesOn) {
  TMessageBoxAnswer answer;
  const bool ok = Guarded([] { throw EDatabaseError("tbMain: Record not found"); });
  EXPECT_FALSE(ok);
  EXPECT_TRUE(answer.Shown());
  EXPECT_EQ(answer.Text(), "tbMain: Record not found");
}

TEST(TApplicationTest, AbortIsSilentAndOnExceptionReplacesTheBox) {
  std::vector<std::string> seen;
  TApplication::Instance()->SetOnException([&](const std::string& m) { seen.push_back(m); });
  EXPECT_FALSE(Guarded([] { throw EAbort(); }));
  EXPECT_FALSE(Guarded([] { throw std::runtime_error("plain"); }));
  EXPECT_TRUE(Guarded([] {}));
  TApplication::Instance()->SetOnException(nullptr);
  EXPECT_EQ(seen, std::vector<std::string>{"plain"});
}

}  // namespace
