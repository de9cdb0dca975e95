#pragma once

#include <QSet>
#include <QString>
#include <QStringList>

namespace quovant {

// The exact facts of a text (addresses, paths, file names, flags, identifiers, capitalised
// words, versions, numbers and known vocabulary), folded for case and diacritics so that anchor
// sets compare without regard to either. Pure and thread-safe.
struct DeveloperPromptAnchors {
    static QSet<QString> extract(const QString& text, const QStringList& vocabulary);
};

} // namespace quovant
