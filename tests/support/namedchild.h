#pragma once

#include <QObject>
#include <QString>

namespace rangefinder {

// The child of root with this object name. Tests reach the window's parts by name; one that is
// missing means the form changed, and no test can go on.
template <typename T> T *namedChild(const QObject *root, const char *name)
{
    T *object = root->findChild<T *>(QLatin1String(name));
    if (!object)
        qFatal("no %s", name);
    return object;
}

} // namespace rangefinder
