#include "app/CortaviaApp.h"
#include "tests/support/TestSupport.h"

#include <QApplication>
#include <QLabel>
#include <QPushButton>
#include <QTest>
#include <gtest/gtest.h>

using testing_support::ScriptedMessageBoxes;

TEST(StartUp, WithoutASocketLayerShowsOnlyTheWarningAndOpensNoWindow)
{
    ScriptedMessageBoxes boxes;
    CMyCortaviaApp::SetSocketLayerCheck([] { return false; });
    CMyCortaviaApp app;
    EXPECT_FALSE(app.InitInstance());
    CMyCortaviaApp::SetSocketLayerCheck({});
    ASSERT_EQ(boxes.Texts(), std::vector<QString>{"Windows sockets initialization failed."});
    EXPECT_EQ(boxes.Shown()[0].flags, platform::MB_OK | platform::MB_ICONWARNING);
    EXPECT_EQ(boxes.Shown()[0].caption, "app_tests") << "message boxes carry the program file's base name";
    EXPECT_TRUE(QApplication::topLevelWidgets().isEmpty() ||
                std::none_of(QApplication::topLevelWidgets().begin(), QApplication::topLevelWidgets().end(),
                             [](QWidget* w) { return w->isVisible(); }));
}

TEST(AboutBox, ShowsVersionOneDotZeroAndClosesWithOkOrEnter)
{
    CAboutDlg about;
    EXPECT_EQ(about.windowTitle(), "About Cortavia");
    auto* version = about.findChild<QLabel*>("AboutVersion");
    ASSERT_NE(version, nullptr);
    EXPECT_EQ(version->text(), "Cortavia, Version 1.0");
    EXPECT_EQ(version->textFormat(), Qt::PlainText);
    about.show();
    QTest::keyClick(&about, Qt::Key_Return);
    EXPECT_EQ(about.result(), QDialog::Accepted);
    CAboutDlg again;
    again.show();
    QTest::keyClick(&again, Qt::Key_Escape);
    EXPECT_FALSE(again.isVisible());
}
