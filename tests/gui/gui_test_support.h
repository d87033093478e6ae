// Scripted answers for the message boxes and a wait that keeps the Qt event
// loop turning.
#pragma once

#include <gtest/gtest.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QPushButton>
#include <QTest>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "app/front_end.h"
#include "gui/main_window.h"
#include "gui/message_box.h"

namespace vkt::testing {

// Turns the event loop until pred() holds or `ms` pass.
inline bool waitFor(const std::function<bool()>& pred, int ms = 20000) {
    QElapsedTimer timer;
    timer.start();
    while (!pred()) {
        if (timer.elapsed() > ms)
            return false;
        QApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    return true;
}

// Clicks Get Radio Information once the window has seen the cable; false
// when the button never became enabled.
inline bool clickGetRadioInformation(gui::MainWindow& window) {
    if (!waitFor([&] { return window.getInfoButton()->isEnabled(); }))
        return false;
    QTest::mouseClick(window.getInfoButton(), Qt::LeftButton);
    return true;
}

struct ShownBox {
    std::string text;
    MessageStyle style = MessageStyle::None;
    std::string firstCaption;
    std::string secondCaption;  // empty when the second button is hidden
    bool firstIsDefault = false;
};

// Answers every message box: questions from `answers` (No once they are
// used up), everything else with its first button.
class BoxScript {
  public:
    BoxScript() {
        gui::MessageBox::setScript([this](gui::MessageBox& box) {
            ShownBox shown;
            shown.text = box.text().toStdString();
            shown.style = box.messageStyle();
            shown.firstCaption = box.firstButton()->text().toStdString();
            if (box.secondShown())
                shown.secondCaption = box.secondButton()->text().toStdString();
            shown.firstIsDefault = box.firstButton()->isDefault();
            boxes.push_back(shown);
            if (onBox)
                onBox(shown);
            if (!isYesNoStyle(box.messageStyle()))
                return box.firstId();
            if (answers.empty())
                return ButtonId::No;
            ButtonId answer = answers.front();
            answers.pop_front();
            return answer;
        });
    }
    ~BoxScript() { gui::MessageBox::setScript(nullptr); }
    BoxScript(const BoxScript&) = delete;
    BoxScript& operator=(const BoxScript&) = delete;

    std::deque<ButtonId> answers;
    std::vector<ShownBox> boxes;
    std::function<void(const ShownBox&)> onBox;
};

}  // namespace vkt::testing
