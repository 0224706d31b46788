#pragma once

#include <gtest/gtest.h>

#include <QApplication>
#include <memory>

namespace quorvel::test {

// One QApplication for the whole test program, made before the first test and gone
// after the last, while GoogleTest still runs (not among the static destructors,
// after Qt's own globals are gone). Include this header in every tray test file.
class QtTestApplication final : public ::testing::Environment {
public:
    void SetUp() override {
        static int argc = 1;
        static char name[] = "tray_tests";
        static char* argv[] = {name, nullptr};
        app_ = std::make_unique<QApplication>(argc, argv);
    }
    void TearDown() override { app_.reset(); }

private:
    std::unique_ptr<QApplication> app_;
};

inline ::testing::Environment* const qtTestApplication =
    ::testing::AddGlobalTestEnvironment(new QtTestApplication);

}  // namespace quorvel::test
