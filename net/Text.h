#pragma once
// Crossings between the window's QString and the parsers' UTF-16 strings.
#include <QByteArray>
#include <QString>
#include <string>
#include <string_view>

inline std::u16string_view U16(const QString& s)
{
    return {reinterpret_cast<const char16_t*>(s.utf16()), static_cast<size_t>(s.size())};
}

inline QString Q(std::u16string_view s)
{
    return QString(reinterpret_cast<const QChar*>(s.data()), static_cast<qsizetype>(s.size()));
}

inline QByteArray Bytes(std::string_view s) { return QByteArray(s.data(), static_cast<qsizetype>(s.size())); }
