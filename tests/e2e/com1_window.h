// SPDX-License-Identifier: GPL-3.0-or-later
// A window whose COM1 leads where the test says, through a port map folder of the test's own: a
// pseudo-terminal, or a network port's URL.
#pragma once

#include "MessageBox.h"
#include "Unit1.h"
#include "ui_Unit1.h"

#include <QByteArray>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>

class Com1WindowTest : public ::testing::Test {
protected:
    QTemporaryDir dir;
    QByteArray savedPortsDir = qgetenv("COMLAB_PORTS_DIR");
    msgbox::MessageBoxRecorder boxes;
    std::unique_ptr<TForm1> form;

    void SetUp() override {
        ASSERT_TRUE(dir.isValid());
        qputenv("COMLAB_PORTS_DIR", dir.path().toLocal8Bit());
        form = std::make_unique<TForm1>();
        form->ui->cbCOM->setCurrentIndex(0);
    }
    void TearDown() override {
        form.reset();
        qputenv("COMLAB_PORTS_DIR", savedPortsDir);
    }

    // Points COM1 at `target`, replacing an earlier mapping.
    void mapCom1(const std::string& target) {
        const std::filesystem::path link = std::filesystem::path(dir.path().toStdString()) / "COM1";
        std::filesystem::remove(link);
        std::filesystem::create_symlink(target, link);
    }
};
