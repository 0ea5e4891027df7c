#pragma once

#include "store/store_environment.h"

#include <QStringList>

#include <optional>

// Stand-ins for the desktop services the store asks the windows for, which need a person.
namespace testing_support {

class RecordingClipboard : public QuarryClipboard {
public:
    void setText(const QString& text) override { copied.append(text); }
    QStringList copied;
};

// Answers every folder question at once with `answer` (nothing: the person cancelled).
class ScriptedFolderChooser : public QuarryFolderChooser {
public:
    void chooseFolder(std::function<void(std::optional<QString>)> done) override { done(answer); }
    std::optional<QString> answer;
};

} // namespace testing_support
