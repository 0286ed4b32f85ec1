// Set-up of the window tests: one QApplication on the offscreen platform for
// the whole program, a fresh store per case (config/store_fixture.h), the
// role, and every message box captured instead of shown.
#pragma once

#include <QApplication>
#include <QMessageBox>
#include <QWidget>
#include <vector>

#include "admin/msgbox.h"
#include "admin/users_support.h"
#include "config/store_fixture.h"
#include "ipc/role.h"
#include "log/log.h"

inline void EnsureQtApp() { userstest::EnsureApp(); }

// Processes events until cond holds or timeoutMs has passed.
template <typename Cond>
bool SpinUntil(Cond cond, int timeoutMs = 5000) {
    auto deadline = bxtest::Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!cond()) {
        if (bxtest::Clock::now() > deadline) return false;
        QApplication::processEvents(QEventLoop::AllEvents, 10);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

template <typename T>
T* Find(QWidget* top, const char* name) {
    T* widget = top->findChild<T*>(name);
    EXPECT_NE(widget, nullptr) << "no widget named " << name;
    return widget;
}

struct AdminTest : StoreTest {
    std::vector<AdminMessage> boxes;

    void SetUp() override {
        EnsureQtApp();
        StoreTest::SetUp();
        processRole = ROLE_SERVER;
        logEnable = 0;
        logSize = 0;
        logSync = 0;
        AdminSetMessageHook([this](const AdminMessage& m) {
            boxes.push_back(m);
            return QMessageBox::Ok;
        });
    }
    void TearDown() override {
        AdminSetMessageHook(nullptr);
        StoreTest::TearDown();
    }
};
