#pragma once

#include <gtest/gtest.h>

#include <QTest>

#include <memory>

#include "app/Unit1.h"
#include "testing/DialogRecorder.h"

namespace kelvo::testing {

// A fresh window per test, built offscreen with its dialogs recorded.
class WindowTest : public ::testing::Test {
  protected:
    void SetUp() override {
        auto recorder = std::make_unique<DialogRecorder>();
        dialogs = recorder->state();
        form = std::make_unique<TForm1>(std::move(recorder));
        // Every test starts from a settled window: the printer list has arrived and its thread
        // has ended.
        ASSERT_TRUE(QTest::qWaitFor([this] { return form->DriverNamesListed; }, 20000));
    }
    void TearDown() override { form.reset(); }

    std::shared_ptr<DialogRecorder::State> dialogs;
    std::unique_ptr<TForm1> form;
};

}  // namespace kelvo::testing
