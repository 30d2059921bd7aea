#include "app/tavrel_application.h"

#include <exception>

#include <QMessageBox>

namespace tavrel {

TavrelApplication::TavrelApplication(int& argc, char** argv) : QApplication(argc, argv) {
    setApplicationName(QStringLiteral("Tavrel"));
    setApplicationDisplayName(QStringLiteral("Tavrel"));
}

bool TavrelApplication::notify(QObject* receiver, QEvent* event) {
    try {
        return QApplication::notify(receiver, event);
    } catch (...) {
        ShowErrorMessage(CurrentExceptionText());
        return false;
    }
}

void ShowErrorMessage(const QString& text) {
    QMessageBox::critical(nullptr, QCoreApplication::applicationName(), text);
}

QString CurrentExceptionText() {
    try {
        throw;
    } catch (const std::exception& error) {
        return QString::fromLocal8Bit(error.what());
    } catch (...) {
        return {};
    }
}

}  // namespace tavrel
