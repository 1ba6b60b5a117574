#include "platform/exceptions.h"
#include "platform/guard.h"
#include "platform/msgbox.h"
#include "support/modalwatcher.h"
#include "support/raised.h"

#include <QPushButton>
#include <QtTest>

class TestMessageBox : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void titleAndIconByKind_data();
    void titleAndIconByKind();
    void buttonsAndResult_data();
    void buttonsAndResult();
    void optionsShapeTheBox();
    void tooManyButtonsRefused();
    void nothingShownWhileTerminating();
    void errorDisplayFullStop_data();
    void errorDisplayFullStop();
    void errorDisplayBox();
    void guardShowsAndEventLoopGoesOn();
};

void TestMessageBox::titleAndIconByKind_data() {
    QTest::addColumn<int>("kind");
    QTest::addColumn<QString>("title");
    QTest::addColumn<int>("icon");
    QTest::newRow("custom shows its caption")
        << int(mtCustom) << "Quenfold" << int(QMessageBox::NoIcon);
    QTest::newRow("information") << int(mtInformation) << "Information"
                                 << int(QMessageBox::Information);
    QTest::newRow("warning") << int(mtWarning) << "Warning" << int(QMessageBox::Warning);
    QTest::newRow("error") << int(mtError) << "Error" << int(QMessageBox::Critical);
    QTest::newRow("confirmation") << int(mtConfirmation) << "Confirm" << int(QMessageBox::Question);
}

void TestMessageBox::titleAndIconByKind() {
    QFETCH(int, kind);
    QFETCH(QString, title);
    QFETCH(int, icon);
    ModalWatcher watcher;
    const int result = MessageDlg(QStringLiteral("Quenfold"), QStringLiteral("Some text"),
                                  TMsgDlgType(kind), MsgButton(mbOK));
    QCOMPARE(result, int(mbOK));
    QCOMPARE(watcher.boxes.size(), size_t(1));
    QCOMPARE(watcher.boxes[0].title, title);
    QCOMPARE(watcher.boxes[0].text, QStringLiteral("Some text"));
    QCOMPARE(int(watcher.boxes[0].icon), icon);
    QCOMPARE(watcher.boxes[0].buttons.size(), 1);
}

void TestMessageBox::buttonsAndResult_data() {
    QTest::addColumn<uint>("buttons");
    QTest::addColumn<QString>("press"); // text of the button to press; empty: the default
    QTest::addColumn<int>("expected");
    QTest::addColumn<int>("shownCount");
    const uint okCancel = MsgButton(mbOK) | MsgButton(mbCancel);
    const uint yesNoCancel = MsgButton(mbYes) | MsgButton(mbNo) | MsgButton(mbCancel);
    QTest::newRow("OK alone, default") << uint(MsgButton(mbOK)) << QString() << int(mbOK) << 1;
    QTest::newRow("OK+Cancel, first shown is default") << okCancel << QString() << int(mbOK) << 2;
    QTest::newRow("OK+Cancel, Cancel pressed") << okCancel << "Cancel" << int(mbCancel) << 2;
    QTest::newRow("Yes/No/Cancel, No pressed") << yesNoCancel << "No" << int(mbNo) << 3;
    QTest::newRow("Abort/Retry/Ignore, Ignore")
        << uint(MsgButton(mbAbort) | MsgButton(mbRetry) | MsgButton(mbIgnore)) << "Ignore"
        << int(mbIgnore) << 3;
}

void TestMessageBox::buttonsAndResult() {
    QFETCH(uint, buttons);
    QFETCH(QString, press);
    QFETCH(int, expected);
    QFETCH(int, shownCount);
    int seenButtons = 0;
    ModalWatcher watcher([&](QWidget* w) {
        auto* box = qobject_cast<QMessageBox*>(w);
        QVERIFY(box);
        seenButtons = int(box->buttons().size());
        QAbstractButton* target = box->defaultButton();
        for (QAbstractButton* b : box->buttons())
            if (!press.isEmpty() && b->text().remove(QLatin1Char('&')) == press)
                target = b;
        target->click();
    });
    QCOMPARE(MessageDlg(QString(), QStringLiteral("?"), mtConfirmation, buttons), expected);
    QCOMPARE(seenButtons, shownCount);
}

void TestMessageBox::optionsShapeTheBox() {
    TMsgDlgOptions options;
    options.defaultButton = mbCancel;
    options.buttonTexts = {{mbOK, QStringLiteral("Import")}};
    options.icon = mtWarning;
    options.details = QStringLiteral("Subject: CN=<b>x</b>\nKey: RSA, 2048 bits");
    // Return presses the default button, not the first one shown.
    ModalWatcher watcher([](QWidget* w) { QTest::keyClick(w, Qt::Key_Return); });
    const TMsgDlgButtons okCancel = MsgButton(mbOK) | MsgButton(mbCancel);
    QCOMPARE(MessageDlg(QStringLiteral("Import Remote Certificate"), QStringLiteral("Import?"),
                        mtCustom, okCancel, 0, options),
             int(mbCancel));
    QCOMPARE(watcher.boxes.size(), size_t(1));
    const SeenBox& box = watcher.boxes[0];
    QCOMPARE(box.title, QStringLiteral("Import Remote Certificate"));
    QCOMPARE(box.icon, QMessageBox::Warning);
    QCOMPARE(box.buttons, QStringList({"Import", "Cancel"}));
    QCOMPARE(box.defaultButton, QStringLiteral("Cancel"));
    QCOMPARE(box.details, options.details);
    QCOMPARE(box.accessibleDescription, options.details);

    options.defaultButton = mbYes;
    QCOMPARE(Raised<Exception>([&] {
                 MessageDlg(QString(), QStringLiteral("x"), mtCustom, okCancel, 0, options);
             }),
             std::string("The default button is not one of the message box's buttons"));
    QCOMPARE(watcher.boxes.size(), size_t(1));
}

void TestMessageBox::tooManyButtonsRefused() {
    ModalWatcher watcher;
    const TMsgDlgButtons four =
        MsgButton(mbOK) | MsgButton(mbCancel) | MsgButton(mbYes) | MsgButton(mbNo);
    QCOMPARE(
        Raised<Exception>([&] { MessageDlg(QString(), QStringLiteral("x"), mtInformation, four); }),
        std::string("Too many buttons specified for message box"));
    QVERIFY(watcher.boxes.empty());
}

void TestMessageBox::nothingShownWhileTerminating() {
    ModalWatcher watcher;
    SetApplicationTerminating(true);
    const int result = MessageDlg(QString(), QStringLiteral("x"), mtInformation, MsgButton(mbOK));
    SetApplicationTerminating(false);
    QCOMPARE(result, -1);
    QVERIFY(watcher.boxes.empty());
}

void TestMessageBox::errorDisplayFullStop_data() {
    QTest::addColumn<QString>("message");
    QTest::addColumn<QString>("shown");
    QTest::newRow("letter") << "abc"
                            << "abc.";
    QTest::newRow("full stop kept") << "abc."
                                    << "abc.";
    QTest::newRow("parenthesis sorts before the full stop") << "abc)"
                                                            << "abc)";
    QTest::newRow("digit") << "abc1"
                           << "abc1.";
    QTest::newRow("empty") << ""
                           << "";
    QTest::newRow("blank sorts before") << "abc "
                                        << "abc ";
    QTest::newRow("non-ASCII letter")
        << QStringLiteral("Gr\u00fc\u00df") << QStringLiteral("Gr\u00fc\u00df.");
}

void TestMessageBox::errorDisplayFullStop() {
    QFETCH(QString, message);
    QFETCH(QString, shown);
    QCOMPARE(ErrorDisplayText(message), shown);
}

void TestMessageBox::errorDisplayBox() {
    ModalWatcher watcher;
    ShowErrorMessage(QStringLiteral("Cannot open file"));
    QCOMPARE(watcher.boxes.size(), size_t(1));
    QCOMPARE(watcher.boxes[0].title, QString());
    QCOMPARE(watcher.boxes[0].text, QStringLiteral("Cannot open file."));
    QCOMPARE(watcher.boxes[0].icon, QMessageBox::Critical);
    QCOMPARE(watcher.boxes[0].buttons.size(), 1);
}

void TestMessageBox::guardShowsAndEventLoopGoesOn() {
    QWidget window;
    QPushButton button(QStringLiteral("Go"), &window);
    int runs = 0;
    QObject::connect(&button, &QPushButton::clicked, [&] {
        RunGuarded([&] {
            ++runs;
            if (runs == 1)
                throw EConvertError("'x' is not a valid integer value");
            if (runs == 2)
                throw std::runtime_error("plain failure");
        });
    });
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    ModalWatcher watcher;
    button.click();
    button.click();
    button.click();
    QCOMPARE(runs, 3);
    QCOMPARE(watcher.boxes.size(), size_t(2));
    QCOMPARE(watcher.boxes[0].text, QStringLiteral("'x' is not a valid integer value."));
    QCOMPARE(watcher.boxes[1].text, QStringLiteral("plain failure."));
    QVERIFY(window.isVisible());
}

QTEST_MAIN(TestMessageBox)
#include "tst_msgbox.moc"
