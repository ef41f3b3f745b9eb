// The address control as a keyboard user meets it: typed, pasted and wrong
// input, and Tab, between an edit before it and one after it.
#include "platform/Controls.h"
#include "tests/support/Keyboard.h"

#include <QAction>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QMenu>
#include <gtest/gtest.h>

using platform::IpAddressCtrl;
using testing_support::Press;
using testing_support::Type;

namespace {

class AddressControl : public ::testing::Test {
protected:
    void SetUp() override
    {
        auto* row = new QHBoxLayout(&window);
        row->addWidget(before);
        row->addWidget(ip);
        row->addWidget(after);
        QWidget::setTabOrder(before, ip);
        QWidget::setTabOrder(ip, after);
        ASSERT_TRUE(testing_support::ShowInFront(window));
        ip->setFocus(Qt::TabFocusReason);
    }

    // Which field has the focus: 0 to 3, -1 outside the control.
    int FocusedField() const
    {
        for (int i = 0; i < 4; ++i)
            if (QApplication::focusWidget() == ip->Field(i))
                return i;
        return -1;
    }
    QStringList Fields() const
    {
        QStringList texts;
        for (int i = 0; i < 4; ++i)
            texts << ip->Field(i)->text();
        return texts;
    }

    QWidget window;
    QLineEdit* before = new QLineEdit(&window);
    IpAddressCtrl* ip = new IpAddressCtrl(&window);
    QLineEdit* after = new QLineEdit(&window);
};

}  // namespace

TEST_F(AddressControl, TypedDotsAndThirdDigitsMoveOnSoAnAddressTypesAsItReads)
{
    Type("198.19.9.57");
    EXPECT_EQ(ip->AddressText(), "198.19.9.57");
    EXPECT_EQ(ip->FilledFields(), 4);
    EXPECT_EQ(FocusedField(), 3);

    // Over an address already there: the first field's text is selected
    // when Tab arrives, and each dot or third digit selects the next one.
    ip->SetAddressText("192.168.0.80");
    before->setFocus(Qt::OtherFocusReason);
    Press(Qt::Key_Tab);
    ASSERT_EQ(FocusedField(), 0);
    Type("10.1.255.7");
    EXPECT_EQ(ip->AddressText(), "10.1.255.7");
}

TEST_F(AddressControl, RefusesAnOctetAbove255AsItIsTyped)
{
    Type("30");
    Type("0");
    EXPECT_EQ(ip->Field(0)->text(), "30") << "300 never gets into the field";
    EXPECT_EQ(FocusedField(), 0);
    Type(".25");
    Type("6");
    EXPECT_EQ(ip->Field(1)->text(), "25") << "256 neither";
    Type("5");
    EXPECT_EQ(ip->Field(1)->text(), "255");
    EXPECT_EQ(FocusedField(), 2) << "a third digit moves on";
    Type("999");
    EXPECT_EQ(ip->Field(2)->text(), "99");
    EXPECT_EQ(ip->AddressText(), "30.255.99.0");
}

TEST_F(AddressControl, IgnoresLettersSignsAndDotsThatFollowNoNumber)
{
    Type("a1b9-8+ .");
    EXPECT_EQ(Fields(), (QStringList{"198", "", "", ""}));
    // A dot after the auto-advance, a second dot and a dot in the last
    // field stay where they are.
    Type("..19...9..57...");
    EXPECT_EQ(ip->AddressText(), "198.19.9.57");
    EXPECT_EQ(Fields(), (QStringList{"198", "19", "9", "57"}));
    // A full last field takes no fourth digit.
    Type("3");
    EXPECT_EQ(ip->Field(3)->text(), "57");
}

TEST_F(AddressControl, BackspaceInAnEmptyFieldGoesBackToTheOneBefore)
{
    Type("198.");
    ASSERT_EQ(FocusedField(), 1);
    Press(Qt::Key_Backspace);
    EXPECT_EQ(FocusedField(), 0);
    EXPECT_EQ(ip->Field(0)->text(), "198") << "going back deletes nothing";
    Press(Qt::Key_Backspace);
    EXPECT_EQ(ip->Field(0)->text(), "19");
    Type("2.168");
    EXPECT_EQ(ip->AddressText(), "192.168.0.0");
    // Left at a field's start and Right at its end cross to the neighbour.
    Press(Qt::Key_Home);
    Press(Qt::Key_Left);
    EXPECT_EQ(FocusedField(), 1);
    Press(Qt::Key_Right);
    EXPECT_EQ(FocusedField(), 2);
}

TEST_F(AddressControl, IsOneTabStopWhicheverFieldHasTheFocus)
{
    Type("198.19");
    ASSERT_EQ(FocusedField(), 1);
    Press(Qt::Key_Tab);
    EXPECT_EQ(QApplication::focusWidget(), after) << "Tab leaves the control from its second field";
    Press(Qt::Key_Tab, Qt::ShiftModifier);
    EXPECT_EQ(FocusedField(), 0) << "Shift+Tab comes back into its first field";
    Type("1.2.3");
    ASSERT_EQ(FocusedField(), 2);
    Press(Qt::Key_Tab, Qt::ShiftModifier);
    EXPECT_EQ(QApplication::focusWidget(), before) << "Shift+Tab leaves from its third field";
    for (int i = 1; i < 4; ++i)
        EXPECT_FALSE(ip->Field(i)->focusPolicy() & Qt::TabFocus) << "field " << i + 1;
}

TEST_F(AddressControl, CtrlVWithADottedAddressFillsAllFourFields)
{
    QGuiApplication::clipboard()->setText(" 198.19.9.57\n");
    Type("1.2");
    Press(Qt::Key_V, Qt::ControlModifier);
    EXPECT_EQ(Fields(), (QStringList{"198", "19", "9", "57"})) << "from whichever field";
    ip->ClearAddress();
    ip->setFocus(Qt::TabFocusReason);
    QGuiApplication::clipboard()->setText("10.0.0.1");
    Press(Qt::Key_Insert, Qt::ShiftModifier);
    EXPECT_EQ(ip->AddressText(), "10.0.0.1");
    // One number goes into the field as if typed.
    ip->ClearAddress();
    ip->setFocus(Qt::TabFocusReason);
    QGuiApplication::clipboard()->setText("172");
    Press(Qt::Key_V, Qt::ControlModifier);
    EXPECT_EQ(Fields(), (QStringList{"172", "", "", ""}));
    EXPECT_EQ(FocusedField(), 1);
}

TEST_F(AddressControl, PastingAnythingButAnAddressOrAFittingNumberChangesNothing)
{
    ip->SetAddressText("198.18.2.1");
    ip->setFocus(Qt::TabFocusReason);
    for (const char* garbage : {"hello", "1.2.3", "1.2.3.4.5", "256.1.1.1", "1.2.3.x", "1..2.3", "-1.2.3.4",
                                "1.2.3.4 5", "0x7f.0.0.1", "", "\r\nreboot", "1234"}) {
        QGuiApplication::clipboard()->setText(QString::fromLatin1(garbage));
        Press(Qt::Key_V, Qt::ControlModifier);
        EXPECT_EQ(ip->AddressText(), "198.18.2.1") << garbage;
    }
    // A number that would make the field pass 255 is refused too.
    ip->Field(0)->setText("25");
    ip->Field(0)->setCursorPosition(2);
    QGuiApplication::clipboard()->setText("6");
    Press(Qt::Key_V, Qt::ControlModifier);
    EXPECT_EQ(ip->Field(0)->text(), "25");
}

TEST_F(AddressControl, TheContextMenusPasteTakesADottedAddressAsCtrlVDoes)
{
    QGuiApplication::clipboard()->setText("198.19.9.57");
    QLineEdit* field = ip->Field(2);
    QContextMenuEvent menuEvent(QContextMenuEvent::Mouse, QPoint(2, 2), field->mapToGlobal(QPoint(2, 2)));
    QApplication::sendEvent(field, &menuEvent);
    auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
    ASSERT_NE(menu, nullptr);
    QAction* paste = nullptr;
    for (QAction* a : menu->actions())
        if (a->text().startsWith("&Paste"))
            paste = a;
    ASSERT_NE(paste, nullptr);
    paste->trigger();
    menu->close();
    EXPECT_EQ(ip->AddressText(), "198.19.9.57");

    // Garbage through the menu changes nothing either.
    QGuiApplication::clipboard()->setText("198.19.9.300");
    QApplication::sendEvent(field, &menuEvent);
    menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
    ASSERT_NE(menu, nullptr);
    for (QAction* a : menu->actions())
        if (a->text().startsWith("&Paste"))
            a->trigger();
    menu->close();
    EXPECT_EQ(ip->AddressText(), "198.19.9.57");
}

TEST_F(AddressControl, NoWayOfPuttingTextInLetsAFieldHoldMoreThanAnOctet)
{
    // What a drop, an input method or the X11 middle button ends in.
    QLineEdit* field = ip->Field(1);
    field->insert("300");
    field->insert("12a");
    field->insert("1.2");
    EXPECT_EQ(field->text(), "");
    field->insert("25");
    field->insert("6");
    EXPECT_EQ(field->text(), "25");
    if (QGuiApplication::clipboard()->supportsSelection()) {
        QGuiApplication::clipboard()->setText("198.19.9.57", QClipboard::Selection);
        QTest::mouseClick(ip->Field(0), Qt::MiddleButton);
        EXPECT_EQ(ip->AddressText(), "198.19.9.57");
    }
}

TEST_F(AddressControl, ADisabledControlTakesNoPaste)
{
    ip->SetAddressText("198.18.2.1");
    ip->setEnabled(false);
    EXPECT_FALSE(ip->Paste(0, "10.0.0.1"));
    EXPECT_EQ(ip->AddressText(), "198.18.2.1");
}

TEST_F(AddressControl, CountsTheFieldsThatHoldANumber)
{
    EXPECT_EQ(ip->FilledFields(), 0);
    Type("198.19..57");
    EXPECT_EQ(ip->FilledFields(), 3);
    EXPECT_EQ(ip->AddressText(), "198.19.57.0") << "the second dot stayed put";
    ip->Field(2)->clear();
    EXPECT_EQ(ip->FilledFields(), 2);
    EXPECT_EQ(ip->AddressText(), "198.19.0.0") << "a blank field reads as 0";
}
