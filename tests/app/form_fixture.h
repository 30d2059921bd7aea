#pragma once

#include <memory>
#include <string>
#include <vector>

#include <QDir>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QTemporaryDir>

#include "app/tform1.h"
#include "sim/simulated_hid_bus.h"

namespace tavrel::test {

// A window whose executable folder is a fresh temporary folder, so each test decides whether the
// production-mode marker is there, over a simulated bus with the interfaces given.
class FormFixture {
public:
    enum class Marker { None, File, Folder };

    explicit FormFixture(Marker marker = Marker::File,
                         const std::vector<SimulatedInterfaceDescription>& interfaces = {}) {
        if (marker == Marker::File) {
            QFile file(m_folder.filePath(".pro"));
            file.open(QIODevice::WriteOnly);
        } else if (marker == Marker::Folder) {
            QDir(m_folder.path()).mkdir(".pro");
        }
        for (const SimulatedInterfaceDescription& interface : interfaces)
            bus.Plug(interface);
        platform = bus.CreatePlatform();
        form = std::make_unique<TForm1>(m_folder.path() + QDir::separator(), *platform);
    }
    ~FormFixture() { form.reset(); }

    template <typename T = QWidget>
    T* Find(const char* name) const {
        return form->findChild<T*>(QString::fromLatin1(name));
    }

    QPlainTextEdit* Memo(const char* name) const { return Find<QPlainTextEdit>(name); }

    void Click(const char* button) const { Find<QPushButton>(button)->click(); }

    // The lines of a text box as it shows them.
    std::vector<std::string> Lines(const char* memo) const {
        std::vector<std::string> lines;
        const QString text = Memo(memo)->toPlainText();
        if (text.isEmpty()) return lines;
        for (const QString& line : text.split(QLatin1Char('\n')))
            lines.push_back(line.toStdString());
        return lines;
    }

    // The log box's lines from `first` on, without the time stamps ("<date> <time>: ") of the
    // lines that begin an entry; the further lines of a many-line entry have none.
    std::vector<std::string> LogTexts(std::size_t first = 0) const {
        static const QRegularExpression kStamp(QStringLiteral("^[0-9]\\S*( \\S+)?: "));
        std::vector<std::string> texts;
        const std::vector<std::string> lines = Lines("Memo1");
        for (std::size_t i = first; i < lines.size(); ++i) {
            texts.push_back(QString::fromStdString(lines[i]).remove(kStamp).toStdString());
        }
        return texts;
    }

    // Log entries written since the window came up (the four usage lines and the start-up lines).
    std::size_t StartupLogSize() const { return m_startupLogSize; }
    std::vector<std::string> NewLogTexts() const { return LogTexts(m_startupLogSize); }
    void MarkLog() { m_startupLogSize = Lines("Memo1").size(); }

    SimulatedHidBus bus;
    std::unique_ptr<HidPlatform> platform;
    std::unique_ptr<TForm1> form;

private:
    QTemporaryDir m_folder;
    std::size_t m_startupLogSize = 0;
};

}  // namespace tavrel::test
