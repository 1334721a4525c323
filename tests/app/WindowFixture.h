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

    void CreateWindows() {
        form = std::make_unique<TForm1>();
        Form2 = new TForm2(form.get());  // owned by the main window
    }
    void SetUp() override {
        aspi.SetAdapters(1);
        aspi.AddDevice(0, 1, 0x05, "QUORVEL CDRW-4824A      1.10");
    }
    void TearDown() override {
        form.reset();
        Form2 = nullptr;
    }
};
