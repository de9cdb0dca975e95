#pragma once

#include <QJsonObject>
#include <QString>
#include <QStringList>

#include <optional>

namespace quovant {

// Facts indexed from one Git working tree; a value copied freely.
struct RepositoryContext {
    QString rootPath;
    QString name;
    std::optional<QString> branch;
    QStringList languages;
    QStringList keyFiles;
    QStringList vocabulary;

    // Name, branch, languages and key files as prompt lines; the vocabulary is not included.
    QString promptContext() const;

    QJsonObject toJson() const;
    // Absent when a required key is missing or mistyped.
    static std::optional<RepositoryContext> fromJson(const QJsonObject& object);

    bool operator==(const RepositoryContext&) const = default;
};

} // namespace quovant
