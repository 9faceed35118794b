#include "mainformplugin.h"

#include <QApplication>
#include <QComboBox>
#include <QDebug>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>
#include <QWidget>

#include <cstdio>

namespace {

const char AutoCloseVariable[] = "TARVEX_SAMPLE_AUTOCLOSE_MS";

// What the sample does goes to stdout at once: it is how an unattended run
// reports, and stdout may be a pipe.
void say(const QString &text)
{
    std::fprintf(stdout, "MainFormPlugin: %s\n", qUtf8Printable(text));
    std::fflush(stdout);
}

const QString longText = QStringLiteral(
        "This text is longer than the space it is given; point at it to read all of it");

QWidget *narrow(QWidget *widget)
{
    widget->setFixedWidth(160);
    return widget;
}

} // namespace

int MainFormPlugin::Run(const std::string &strArgs)
{
    const QString args = QString::fromLocal8Bit(strArgs.c_str(), int(strArgs.size()));
    say(QStringLiteral("Run(\"%1\")").arg(args));
    qInfo() << "sample main form started with" << args;

    QWidget window;
    window.setWindowTitle(QStringLiteral("Tarvex sample main form"));

    auto *form = new QFormLayout;
    form->addRow(QStringLiteral("Arguments:"), new QLabel(args));
    auto *label = new QLabel(longText);
    form->addRow(QStringLiteral("Label:"), narrow(label));
    auto *edit = new QLineEdit(longText);
    edit->setCursorPosition(0);
    form->addRow(QStringLiteral("Line edit:"), narrow(edit));
    auto *password = new QLineEdit(QStringLiteral("a secret that never shows as a tooltip"));
    password->setEchoMode(QLineEdit::Password);
    form->addRow(QStringLiteral("Password:"), narrow(password));
    auto *combo = new QComboBox;
    combo->addItems({longText, QStringLiteral("Short entry")});
    form->addRow(QStringLiteral("Combo box:"), narrow(combo));

    auto *buttons = new QHBoxLayout;
    const struct {
        const char *text;
        int result;
    } actions[] = {
        {"Exit (0)", 0},
        {"Restart (1)", 1},
        {"Reload (3)", 3},
    };
    for (const auto &action : actions) {
        auto *button = new QPushButton(QString::fromLatin1(action.text));
        const int result = action.result;
        QObject::connect(button, &QPushButton::clicked, &window, [result] {
            say(QStringLiteral("button pressed, returning %1").arg(result));
            QApplication::exit(result);
        });
        buttons->addWidget(button);
    }

    auto *layout = new QVBoxLayout(&window);
    layout->addLayout(form);
    layout->addLayout(buttons);

    bool autoCloseSet = false;
    const int autoCloseMs = qEnvironmentVariableIntValue(AutoCloseVariable, &autoCloseSet);
    if (autoCloseSet && autoCloseMs >= 0) {
        say(QStringLiteral("closing by itself after %1 ms").arg(autoCloseMs));
        QTimer::singleShot(autoCloseMs, &window, [autoCloseMs] {
            say(QStringLiteral("%1 ms passed, closing").arg(autoCloseMs));
            QApplication::exit(0);
        });
    }

    window.show();
    // Closing the window ends the loop with 0 as well.
    const int result = QApplication::exec();
    say(QStringLiteral("Run returns %1").arg(result));
    qInfo() << "sample main form returns" << result;
    return result;
}
