#include "output.h"

#include <QByteArray>

void writeWhole(FILE *stream, const QString &text)
{
    const QByteArray bytes = text.toUtf8();
    std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), stream);
    std::fflush(stream);
}

void complain(const QString &message)
{
    writeWhole(stderr, QStringLiteral("rangefinder-cli: %1\n").arg(message));
}
