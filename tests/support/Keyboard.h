#pragma once
// A keyboard user's keys: each one goes to whichever widget has the focus at
// that moment, so the focus moves as the keys move it.
#include <QApplication>
#include <QTest>
#include <QWidget>
#include <gtest/gtest.h>

namespace testing_support {

// Shows the window in front, where a person's keys go.
inline bool ShowInFront(QWidget& window)
{
    window.show();
    window.activateWindow();
    return QTest::qWaitForWindowActive(&window);
}

inline void Press(Qt::Key key, Qt::KeyboardModifiers modifiers = Qt::NoModifier)
{
    QWidget* focused = QApplication::focusWidget();
    ASSERT_NE(focused, nullptr) << "no widget has the focus";
    QTest::keyClick(focused, key, modifiers);
}

// Types text key by key, each into the widget that has the focus then.
inline void Type(const QString& text)
{
    for (QChar c : text) {
        QWidget* focused = QApplication::focusWidget();
        ASSERT_NE(focused, nullptr) << "no widget has the focus";
        QTest::keyClick(focused, c.toLatin1());
    }
}

}  // namespace testing_support
