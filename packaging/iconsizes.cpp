// Scales the window icon image to the square sizes of the desktop icon theme, so that the
// installed icons always match the picture compiled into the program.
//   rangefinder-icon-sizes <source image> <output directory> <size>...
// writes <output directory>/<size>.png for each size.

#include <QCoreApplication>
#include <QDir>
#include <QImage>
#include <QPainter>
#include <QStringList>
#include <QTextStream>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QTextStream err(stderr);
    const QStringList args = app.arguments();
    if (args.size() < 4) {
        err << "usage: rangefinder-icon-sizes <source image> <output directory> <size>...\n";
        return 2;
    }

    const QImage source = QImage(args.at(1)).convertToFormat(QImage::Format_ARGB32);
    if (source.isNull()) {
        err << "rangefinder-icon-sizes: cannot read " << args.at(1) << "\n";
        return 1;
    }
    const QDir outDir(args.at(2));
    if (!QDir().mkpath(outDir.path())) {
        err << "rangefinder-icon-sizes: cannot create " << outDir.path() << "\n";
        return 1;
    }

    for (int i = 3; i < args.size(); ++i) {
        bool ok = false;
        const int size = args.at(i).toInt(&ok);
        if (!ok || size <= 0) {
            err << "rangefinder-icon-sizes: not a size: " << args.at(i) << "\n";
            return 2;
        }
        const QImage scaled =
            source.scaled(size, size, Qt::KeepAspectRatio, Qt::SmoothTransformation);
        // A source that is not square is centred on a transparent square.
        QImage icon(size, size, QImage::Format_ARGB32);
        icon.fill(Qt::transparent);
        QPainter painter(&icon);
        painter.drawImage((size - scaled.width()) / 2, (size - scaled.height()) / 2, scaled);
        painter.end();

        const QString path = outDir.filePath(QString::number(size) + QStringLiteral(".png"));
        if (!icon.save(path, "PNG")) {
            err << "rangefinder-icon-sizes: cannot write " << path << "\n";
            return 1;
        }
    }
    return 0;
}
