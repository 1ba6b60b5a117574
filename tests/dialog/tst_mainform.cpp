// The window as the layout draws it: every control where it belongs, with its text and
// properties, the keys, and the spin boxes. The table is written from the layout, not read back
// from the .ui file, so a slip in either shows.

#include "dialog/main.h"
#include "dialog/widgets.h"
#include "support/dialogfixture.h"
#include "support/modalwatcher.h"
#include "support/servicefixture.h"

#include <QAccessible>
#include <QComboBox>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QSpinBox>
#include <QtTest>
#include <limits>

class TestMainForm : public QObject {
    Q_OBJECT
    // Showing the window loads the partners; a small scripted service answers.
    std::unique_ptr<ServiceFixture> service;

private Q_SLOTS:
    void initTestCase() {
        service = std::make_unique<ServiceFixture>();
        service->memory.partners = {{"AS2Local", "L", "", ""}, {"AS2Remote", "R", "", ""}};
    }
    void cleanup() { QTRY_VERIFY(NoWindowLeft()); }
    void cleanupTestCase() { service.reset(); }
    void window();
    void labels_data();
    void labels();
    void controls_data();
    void controls();
    void declaredOrder();
    void accessibleNames_data();
    void accessibleNames();
    void fileDialogs();
    void focusOrderByTab();
    void returnActivatesOK_data();
    void returnActivatesOK();
    void focusedButtonTakesReturn();
    void escapeActivatesCancel();
    void closeBoxIsCancel();
    void spinBoxes_data();
    void spinBoxes();
    void failedHandlerLeavesWindowUsable();
};

void TestMainForm::window() {
    DialogFixture dialog(service->channel);
    TMainForm& form = *dialog.form;
    QCOMPARE(form.windowTitle(), QStringLiteral("Vantrel Lite Configuration"));
    QCOMPARE(form.size(), QSize(494, 476));
    QCOMPARE(form.minimumSize(), QSize(494, 476));
    QCOMPARE(form.maximumSize(), QSize(494, 476));
    const Qt::WindowFlags flags = form.windowFlags();
    QVERIFY(flags.testFlag(Qt::WindowMinimizeButtonHint));
    QVERIFY(flags.testFlag(Qt::WindowCloseButtonHint));
    QVERIFY(flags.testFlag(Qt::WindowSystemMenuHint));
    QVERIFY(!flags.testFlag(Qt::WindowMaximizeButtonHint));
    QVERIFY(!flags.testFlag(Qt::WindowContextHelpButtonHint));
    QCOMPARE(form.windowIcon().actualSize(QSize(32, 32)), QSize(32, 32));
    QVERIFY(form.OK->isDefault());
    QVERIFY(!form.Cancel->isDefault());
}

void TestMainForm::labels_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("top");
    QTest::addColumn<int>("width");
    QTest::newRow("Label2") << "Label2"
                            << "Your (Local Partner) Name:" << 24 << 128;
    QTest::newRow("Label3") << "Label3"
                            << "Your (Local Partner) AS2 ID:" << 56 << 134;
    QTest::newRow("Label4") << "Label4"
                            << "Your (Local Partner) Email Address:" << 88 << 166;
    QTest::newRow("Label5") << "Label5"
                            << "Your Private Certificate:" << 120 << 111;
    QTest::newRow("Label6") << "Label6"
                            << "Remote Partner Name:" << 168 << 108;
    QTest::newRow("Label7") << "Label7"
                            << "Remote Partner AS2 ID:" << 200 << 114;
    QTest::newRow("Label8") << "Label8"
                            << "Remote Partner Email Address:" << 232 << 146;
    QTest::newRow("Label9") << "Label9"
                            << "Remote Partner Public Certificate:" << 264 << 159;
    QTest::newRow("Label10") << "Label10"
                             << "Outgoing (Partner) AS2 URL:" << 312 << 137;
    QTest::newRow("Label11") << "Label11"
                             << "Your Internet Host Name:" << 344 << 120;
    QTest::newRow("Label12") << "Label12"
                             << "Incoming AS2 Port:" << 384 << 91;
    QTest::newRow("Label13") << "Label13"
                             << "Incoming MDN Port:" << 416 << 96;
}

void TestMainForm::labels() {
    QFETCH(QString, name);
    QFETCH(QString, text);
    QFETCH(int, top);
    QFETCH(int, width);
    DialogFixture dialog(service->channel);
    TMainForm& form = *dialog.form;
    auto* label = form.findChild<QLabel*>(name);
    QVERIFY(label);
    QCOMPARE(label->text(), text);
    QCOMPARE(label->geometry(), QRect(16, top, width, 13));
    QCOMPARE(label->focusPolicy(), Qt::NoFocus);
    // The link names its settings as the labels do, in their order.
    QCOMPARE(QString::fromLatin1(LinkSettings().at(name.mid(5).toUInt() - 2).Label) + ":", text);
    // The whole text must be readable in the width the layout gives it.
    QVERIFY2(label->fontMetrics().horizontalAdvance(text) <= width, qPrintable(text));
}

void TestMainForm::controls_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QRect>("geometry");
    QTest::addColumn<bool>("readOnly");
    QTest::addColumn<QString>("caption");
    auto row = [](const char* name, const char* kind, int l, int t, int w, int h, bool ro = false,
                  const char* caption = "") {
        QTest::newRow(name) << name << kind << QRect(l, t, w, h) << ro << caption;
    };
    row("LocalName", "QLineEdit", 202, 21, 263, 21, true);
    row("LocalAS2ID", "QLineEdit", 202, 53, 263, 21);
    row("LocalEmail", "QLineEdit", 202, 85, 263, 21);
    row("LocalCertificate", "QLineEdit", 202, 117, 175, 21, true);
    row("ImportLocal", "QPushButton", 387, 116, 78, 25, false, "Import");
    row("RemoteName", "QLineEdit", 202, 165, 263, 21, true);
    row("RemoteAS2ID", "QLineEdit", 202, 197, 263, 21);
    row("RemoteEmail", "QLineEdit", 202, 229, 263, 21);
    row("RemoteCertificate", "QLineEdit", 202, 262, 175, 21, true);
    row("ImportRemote", "QPushButton", 387, 260, 78, 25, false, "Import");
    row("OutgoingAS2URL", "QLineEdit", 202, 309, 263, 21);
    row("IncomingHostName", "QLineEdit", 202, 341, 263, 21);
    row("IncomingAS2Port", "QSpinBox", 202, 376, 101, 21);
    row("IncomingMDNPort", "QSpinBox", 202, 408, 101, 21);
    row("OK", "QPushButton", 328, 440, 75, 25, false, "OK");
    row("Cancel", "QPushButton", 408, 440, 75, 25, false, "Cancel");
}

void TestMainForm::controls() {
    QFETCH(QString, name);
    QFETCH(QString, kind);
    QFETCH(QRect, geometry);
    QFETCH(bool, readOnly);
    QFETCH(QString, caption);
    DialogFixture dialog(service->channel);
    TMainForm& form = *dialog.form;
    auto* widget = form.findChild<QWidget*>(name);
    QVERIFY(widget);
    QCOMPARE(QString::fromLatin1(widget->metaObject()->className()), kind);
    QCOMPARE(widget->geometry(), geometry);
    QVERIFY(widget->focusPolicy() & Qt::TabFocus);
    if (auto* edit = qobject_cast<QLineEdit*>(widget)) {
        QCOMPARE(edit->isReadOnly(), readOnly);
        QCOMPARE(edit->text(), QString());
        QCOMPARE(edit->maxLength(), std::numeric_limits<int>::max()); // no limit of our own
        const QColor base = edit->palette().color(QPalette::Base);
        if (readOnly)
            QCOMPARE(base, form.palette().color(QPalette::Button));
        else
            QCOMPARE(base, form.palette().color(QPalette::Base));
    }
    if (auto* button = qobject_cast<QPushButton*>(widget)) {
        QCOMPARE(button->text(), caption);
        QVERIFY(!button->text().contains(QLatin1Char('&'))); // no accelerators
    }
    if (auto* spin = qobject_cast<QSpinBox*>(widget)) {
        QCOMPARE(spin->minimum(), 1);
        QCOMPARE(spin->maximum(), 65535);
        QCOMPARE(spin->value(), 1);
    }
}

void TestMainForm::declaredOrder() {
    DialogFixture dialog(service->channel);
    TMainForm& form = *dialog.form;
    const QStringList expected = {"Label2",          "LocalName",         "LocalAS2ID",
                                  "Label3",          "LocalEmail",        "Label4",
                                  "Label5",          "LocalCertificate",  "ImportLocal",
                                  "Label6",          "RemoteName",        "RemoteAS2ID",
                                  "Label7",          "RemoteEmail",       "Label8",
                                  "Label9",          "RemoteCertificate", "ImportRemote",
                                  "OutgoingAS2URL",  "Label10",           "IncomingHostName",
                                  "Label11",         "IncomingAS2Port",   "Label12",
                                  "IncomingMDNPort", "Label13",           "OK",
                                  "Cancel"};
    QStringList actual;
    for (QObject* child : form.children())
        if (qobject_cast<QLabel*>(child) || qobject_cast<QLineEdit*>(child) ||
            qobject_cast<QPushButton*>(child) || qobject_cast<QSpinBox*>(child))
            actual << child->objectName();
    QCOMPARE(actual, expected);
}

void TestMainForm::accessibleNames_data() {
    QTest::addColumn<QString>("control");
    QTest::addColumn<QString>("name"); // what a screen reader announces
    QTest::newRow("LocalName") << "LocalName"
                               << "Your (Local Partner) Name:";
    QTest::newRow("LocalAS2ID") << "LocalAS2ID"
                                << "Your (Local Partner) AS2 ID:";
    QTest::newRow("LocalEmail") << "LocalEmail"
                                << "Your (Local Partner) Email Address:";
    QTest::newRow("LocalCertificate") << "LocalCertificate"
                                      << "Your Private Certificate:";
    QTest::newRow("ImportLocal") << "ImportLocal"
                                 << "Import local certificate";
    QTest::newRow("RemoteName") << "RemoteName"
                                << "Remote Partner Name:";
    QTest::newRow("RemoteAS2ID") << "RemoteAS2ID"
                                 << "Remote Partner AS2 ID:";
    QTest::newRow("RemoteEmail") << "RemoteEmail"
                                 << "Remote Partner Email Address:";
    QTest::newRow("RemoteCertificate") << "RemoteCertificate"
                                       << "Remote Partner Public Certificate:";
    QTest::newRow("ImportRemote") << "ImportRemote"
                                  << "Import remote certificate";
    QTest::newRow("OutgoingAS2URL") << "OutgoingAS2URL"
                                    << "Outgoing (Partner) AS2 URL:";
    QTest::newRow("IncomingHostName") << "IncomingHostName"
                                      << "Your Internet Host Name:";
    QTest::newRow("IncomingAS2Port") << "IncomingAS2Port"
                                     << "Incoming AS2 port";
    QTest::newRow("IncomingMDNPort") << "IncomingMDNPort"
                                     << "Incoming MDN port";
    QTest::newRow("OK") << "OK"
                        << "OK";
    QTest::newRow("Cancel") << "Cancel"
                            << "Cancel";
}

void TestMainForm::accessibleNames() {
    QFETCH(QString, control);
    QFETCH(QString, name);
    DialogFixture dialog(service->channel);
    auto* widget = dialog.form->findChild<QWidget*>(control);
    QVERIFY(widget);
    QAccessibleInterface* accessible = QAccessible::queryAccessibleInterface(widget);
    QVERIFY(accessible);
    QCOMPARE(accessible->text(QAccessible::Name), name);
    // A label reads its control's name, and no caption holds an accelerator.
    for (const QLabel* label :
         dialog.form->findChildren<QLabel*>(QString(), Qt::FindDirectChildrenOnly))
        QVERIFY(label->buddy() && !label->text().contains(QLatin1Char('&')));
}

void TestMainForm::fileDialogs() {
    DialogFixture dialog(service->channel);
    TMainForm& form = *dialog.form;
    struct Seen {
        QString name, title, selectedFilter, shownFilter, suffix, fileName;
        QStringList filters;
        QFileDialog::FileMode mode;
        QFileDialog::AcceptMode accept;
        bool readOnlyBox;
    };
    std::vector<Seen> seen;
    ModalWatcher watcher([&](QWidget* modal) {
        auto* chooser = qobject_cast<QFileDialog*>(modal);
        if (!chooser)
            return;
        const auto* types = chooser->findChild<QComboBox*>(QStringLiteral("fileTypeCombo"));
        const auto* name = chooser->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
        seen.push_back({chooser->objectName(), chooser->windowTitle(),
                        chooser->selectedNameFilter(), types ? types->currentText() : QString(),
                        chooser->defaultSuffix(), name ? name->text() : QString(),
                        chooser->nameFilters(), chooser->fileMode(), chooser->acceptMode(),
                        chooser->testOption(QFileDialog::ReadOnly)});
        chooser->reject();
    });
    for (int showing = 0; showing < 2; ++showing) {
        form.ImportLocal->click();
        form.ImportRemote->click();
    }
    QCOMPARE(seen.size(), size_t(4));
    for (std::size_t i = 0; i < seen.size(); ++i) {
        const Seen& s = seen[i];
        const bool local = i % 2 == 0;
        QCOMPARE(s.name, local ? QStringLiteral("SelectLocalCertificate")
                               : QStringLiteral("SelectRemoteCertificate"));
        QCOMPARE(s.title, local ? QStringLiteral("Select Local Certificate")
                                : QStringLiteral("Select Remote Certificate"));
        const QStringList filters =
            local ? QStringList{"Local Key Exchange (*.p12)", "Personal Key Exchange (*.pfx)"}
                  : QStringList{"Certificates (*.cer)"};
        QCOMPARE(s.filters, filters);
        // The first filter is in force; the remote one reads "Certificates".
        QCOMPARE(s.shownFilter, local ? QStringLiteral("Local Key Exchange (*.p12)")
                                      : QStringLiteral("Certificates"));
        QCOMPARE(s.suffix, local ? QStringLiteral("p12") : QStringLiteral("cer"));
        // Every showing starts from the pattern.
        QCOMPARE(s.fileName, local ? QStringLiteral("*.p12") : QStringLiteral("*.cer"));
        QCOMPARE(s.mode, QFileDialog::ExistingFile);
        QCOMPARE(s.accept, QFileDialog::AcceptOpen);
        QVERIFY(!s.readOnlyBox);
    }
    // Made for each showing and gone with it.
    QVERIFY(!form.SelectLocalCertificate && !form.SelectRemoteCertificate);
    QVERIFY(form.findChildren<QFileDialog*>().isEmpty());
}

void TestMainForm::focusOrderByTab() {
    ModalWatcher watcher;
    DialogFixture dialog(service->channel);
    TMainForm& form = *dialog.form;
    form.show();
    QVERIFY(QTest::qWaitForWindowActive(&form));
    QCOMPARE(QApplication::focusWidget(), form.LocalName);
    const QList<QWidget*> order = {form.LocalAS2ID,       form.LocalEmail,
                                   form.LocalCertificate, form.ImportLocal,
                                   form.RemoteName,       form.RemoteAS2ID,
                                   form.RemoteEmail,      form.RemoteCertificate,
                                   form.ImportRemote,     form.OutgoingAS2URL,
                                   form.IncomingHostName, form.IncomingAS2Port,
                                   form.IncomingMDNPort,  form.OK,
                                   form.Cancel,           form.LocalName};
    for (QWidget* next : order) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        QWidget* focus = QApplication::focusWidget();
        // A spin box hands the focus to its inner line edit.
        if (focus && focus->parentWidget() && qobject_cast<QSpinBox*>(focus->parentWidget()))
            focus = focus->parentWidget();
        QCOMPARE(focus ? focus->objectName() : QString(), next->objectName());
    }
}

void TestMainForm::returnActivatesOK_data() {
    QTest::addColumn<QString>("focus");
    QTest::newRow("editable field") << "RemoteAS2ID";
    QTest::newRow("read-only field") << "LocalName";
    QTest::newRow("spin box") << "IncomingAS2Port";
}

void TestMainForm::returnActivatesOK() {
    QFETCH(QString, focus);
    ModalWatcher watcher;
    DialogFixture dialog(service->channel);
    TMainForm& form = *dialog.form;
    QSignalSpy ok(form.OK, &QPushButton::clicked);
    QSignalSpy cancel(form.Cancel, &QPushButton::clicked);
    QSignalSpy finished(&form, &QDialog::finished);
    form.show();
    QVERIFY(QTest::qWaitForWindowActive(&form));
    QTRY_COMPARE(form.RemoteAS2ID->text(), QStringLiteral("R"));
    form.IncomingHostName->setText(QStringLiteral("h")); // no partnership named one
    QWidget* target = form.findChild<QWidget*>(focus);
    target->setFocus();
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return);
    QCOMPARE(ok.count(), 1);
    QCOMPARE(cancel.count(), 0);
    // OK saved and closed the window.
    QCOMPARE(finished.count(), 1);
    QCOMPARE(finished.at(0).at(0).toInt(), int(QDialog::Accepted));
}

void TestMainForm::focusedButtonTakesReturn() {
    ModalWatcher watcher; // the Import button opens its file dialog; the watcher cancels it
    DialogFixture dialog(service->channel);
    TMainForm& form = *dialog.form;
    QSignalSpy ok(form.OK, &QPushButton::clicked);
    QSignalSpy import(form.ImportRemote, &QPushButton::clicked);
    QSignalSpy cancel(form.Cancel, &QPushButton::clicked);
    form.show();
    QVERIFY(QTest::qWaitForWindowActive(&form));
    form.ImportRemote->setFocus();
    QTest::keyClick(form.ImportRemote, Qt::Key_Return);
    QCOMPARE(import.count(), 1);
    QCOMPARE(ok.count(), 0);
    form.Cancel->setFocus();
    QTest::keyClick(form.Cancel, Qt::Key_Return);
    QCOMPARE(cancel.count(), 1);
    QCOMPARE(ok.count(), 0);
}

void TestMainForm::escapeActivatesCancel() {
    ModalWatcher watcher;
    DialogFixture dialog(service->channel);
    TMainForm& form = *dialog.form;
    QSignalSpy cancel(form.Cancel, &QPushButton::clicked);
    QSignalSpy finished(&form, &QDialog::finished);
    form.show();
    QVERIFY(QTest::qWaitForWindowActive(&form));
    form.RemoteEmail->setFocus();
    QTest::keyClick(form.RemoteEmail, Qt::Key_Escape);
    QCOMPARE(cancel.count(), 1);
    QCOMPARE(finished.count(), 1);
    QVERIFY(!form.isVisible());
}

void TestMainForm::closeBoxIsCancel() {
    ModalWatcher watcher;
    DialogFixture dialog(service->channel);
    TMainForm& form = *dialog.form;
    QSignalSpy finished(&form, &QDialog::finished);
    form.show();
    QVERIFY(QTest::qWaitForWindowActive(&form));
    QVERIFY(form.close());
    QCOMPARE(finished.count(), 1);
    QVERIFY(!form.isVisible());
    QVERIFY(watcher.boxes.empty());
}

void TestMainForm::spinBoxes_data() {
    QTest::addColumn<QString>("locale");
    QTest::addColumn<int>("set");
    QTest::addColumn<QString>("shown");
    QTest::addColumn<int>("read");
    QTest::newRow("0 shows 1") << "C" << 0 << "1" << 1;
    QTest::newRow("70000 shows 65535") << "C" << 70000 << "65535" << 65535;
    QTest::newRow("in range") << "C" << 4080 << "4080" << 4080;
    QTest::newRow("empty text reads as 1") << "C" << -1 << "" << 1;
    // Arabic-Indic and Persian digits: the number the box shows is the number read.
    QTest::newRow("Arabic (Egypt)") << "ar_EG" << 4080 << "\u0664\u0660\u0668\u0660" << 4080;
    QTest::newRow("Persian (Iran)")
        << "fa_IR" << 10081 << "\u06f1\u06f0\u06f0\u06f8\u06f1" << 10081;
}

void TestMainForm::spinBoxes() {
    QFETCH(QString, locale);
    QFETCH(int, set);
    QFETCH(QString, shown);
    QFETCH(int, read);
    DialogFixture dialog(service->channel);
    TMainForm& form = *dialog.form;
    for (QSpinBox* box : {form.IncomingAS2Port, form.IncomingMDNPort}) {
        box->setLocale(QLocale(locale));
        if (set < 0) {
            box->findChild<QLineEdit*>()->clear();
        } else {
            box->setValue(set);
        }
        QCOMPARE(box->text(), shown);
        QCOMPARE(SpinEditValue(*box), read);
    }
}

void TestMainForm::failedHandlerLeavesWindowUsable() {
    ModalWatcher watcher;
    DialogFixture dialog(service->channel);
    TMainForm& form = *dialog.form;
    QSignalSpy finished(&form, &QDialog::finished);
    form.show();
    QVERIFY(QTest::qWaitForWindowActive(&form));
    QTRY_COMPARE(form.RemoteAS2ID->text(), QStringLiteral("R"));
    form.RemoteAS2ID->setText(QStringLiteral("bad\"id"));
    QTest::keyClick(form.RemoteAS2ID, Qt::Key_Return); // OK refuses the text: an error box
    QCOMPARE(watcher.boxes.size(), size_t(1));
    QCOMPARE(watcher.boxes[0].title, QString());
    QCOMPARE(watcher.boxes[0].icon, QMessageBox::Critical);
    QVERIFY(watcher.boxes[0].text.startsWith(QStringLiteral("Remote Partner AS2 ID:")));
    QVERIFY(watcher.boxes[0].text.endsWith(QLatin1Char('.')));
    QVERIFY(form.isVisible());
    QCOMPARE(finished.count(), 0);
    // The window still takes input.
    QTest::keyClicks(form.LocalEmail, QStringLiteral("typed"));
    QCOMPARE(form.LocalEmail->text(), QStringLiteral("typed"));
    QTest::keyClick(form.LocalEmail, Qt::Key_Escape);
    QCOMPARE(finished.count(), 1);
}

QTEST_MAIN(TestMainForm)
#include "tst_mainform.moc"
