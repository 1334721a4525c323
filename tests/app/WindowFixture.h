// The main window as the entry creates it, offscreen, on a recorder layer with
// an in-process ASPI manager holding one CD/DVD drive.
#pragma once

#include <gtest/gtest.h>

#include <memory>

#include "app/Main.h"
#include "app/Quorvelabout.h"
#include "state/SharedState.h"
#include "tests/support/FakeAspi.h"

struct WindowFixture : ::testing::Test {
    RecorderLayer layer;
    FakeAspi aspi{layer};
    std::unique_ptr<TForm1> form;

    // As the entry does: the main window only; the About dialog comes with the
    // first About (form->AboutDialog()).
    void CreateWindows() { form = std::make_unique<TForm1>(); }
    void SetUp() override {
        aspi.SetAdapters(1);
        aspi.AddDevice(0, 1, 0x05, "QUORVEL CDRW-4824A      1.10");
    }
    void TearDown() override {
        form.reset();
        Form2 = nullptr;
    }
};
