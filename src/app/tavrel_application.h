#pragma once

#include <QApplication>

namespace tavrel {

// The application object: titled "Tavrel", and an error that escapes an event handler is shown
// in a message box while the event loop goes on.
class TavrelApplication : public QApplication {
    Q_OBJECT

public:
    TavrelApplication(int& argc, char** argv);
    bool notify(QObject* receiver, QEvent* event) override;
};

// Shows an error's text in a modal message box.
void ShowErrorMessage(const QString& text);

// The text of the exception being handled (empty for one that carries none).
QString CurrentExceptionText();

}  // namespace tavrel
