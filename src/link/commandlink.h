#pragma once

#include <QString>

#include <string>

inline namespace tesmora {
namespace link {

// What a reader operation needs of the link: one exchange per command, the
// answer it left, and the pauses between commands. The window offers it; the
// command sequences are written against it alone.
class CommandLink
{
public:
    virtual ~CommandLink() = default;
    virtual bool Exchange(const QString& payload) = 0;
    // The last complete response frame, 0x0A at offset 0, and its length.
    virtual const std::string& LastResponse() const = 0;
    virtual int ResponseLength() const = 0;
    virtual void Pause(int ms) = 0;
    // Whether the last Exchange put its frame on the line: one refused before
    // it (a stop requested in the pause) was never sent.
    virtual bool FrameSent() const { return true; }
    // The next command carries a MIFARE key: a link over a network port
    // without TLS says once that keys cross the network unencrypted.
    virtual void KeysFollow() {}
};

// Whom a command goes to: the reader type's prefix letter and the reader's ID.
struct Addressee
{
    QString prefix;
    QString id;
    QString operator()(const QString& command) const { return prefix + id + command; }
};

} // namespace link
} // namespace tesmora
