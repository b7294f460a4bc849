#pragma once

#include <QString>

#include <optional>

// What a person can do about an error, found by its message. Errors are raised with keys
// (English sentences, some with "%1" or "%@" places for a name or a path), translated when
// raised or not; a key matches both ways, its places standing for any text. The advice
// texts are translated in the context "QMErrorAdvice".
class QMErrorAdvice
{
public:
    // The advice for a message: its text, empty when the message says what to do itself,
    // or nothing when the message is not known.
    static std::optional<QString> adviceForMessage(const QString &message);

    // The text a person reads for a message raised as a bare key: its translation (the
    // English text fixes the key's typos), else the message as it is.
    static QString displayMessage(const QString &message);

    // A tool's or the system's own words as a person reads them: the last line, ending as
    // a sentence, said to come from Quilmo's disk tool instead of the private tool name in
    // front; nothing when it reads as code (a failed condition, a function with its line).
    static QString readableCause(const QString &text);

    // What to do when nothing better is known, as an alert says it.
    static QString tryAgainAdvice();
};
