// make_photos OUTPUT.jpg WIDTH HEIGHT [SEED]
// Writes a JPEG that decodes like a camera's photo: soft colour fields with light grain, at quality 90
// (a 24-megapixel one comes out at about 4 MB). The benchmarks make their pictures with it.
#include <QCoreApplication>
#include <QImage>
#include <QImageWriter>
#include <QPainter>
#include <QRadialGradient>
#include <QRandomGenerator>

#include <cstdio>

namespace {

constexpr int kGrain = 12;

QImage photo(int width, int height, quint32 seed) {
    QRandomGenerator random(seed);
    QImage image(width, height, QImage::Format_RGB32);
    QPainter painter(&image);
    QLinearGradient sky(0, 0, 0, height);
    sky.setColorAt(0, QColor(70 + random.bounded(60), 120 + random.bounded(60), 200));
    sky.setColorAt(1, QColor(220, 190 + random.bounded(40), 150));
    painter.fillRect(image.rect(), sky);
    for (int i = 0; i < 40; ++i) {
        QRadialGradient blob(random.bounded(width), random.bounded(height),
                             50 + random.bounded(width / 4 + 1));
        blob.setColorAt(0, QColor(random.bounded(256), random.bounded(256), random.bounded(256), 150));
        blob.setColorAt(1, QColor(0, 0, 0, 0));
        painter.fillRect(image.rect(), blob);
    }
    painter.end();
    for (int y = 0; y < height; ++y) {
        auto* line = reinterpret_cast<QRgb*>(image.scanLine(y));
        for (int x = 0; x < width; ++x) {
            const int grain = random.bounded(kGrain) - kGrain / 2;
            const QRgb pixel = line[x];
            line[x] = qRgb(qBound(0, qRed(pixel) + grain, 255), qBound(0, qGreen(pixel) + grain, 255),
                           qBound(0, qBlue(pixel) + grain, 255));
        }
    }
    return image;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const QStringList arguments = app.arguments();
    bool widthOk = false;
    bool heightOk = false;
    const int width = arguments.value(2).toInt(&widthOk);
    const int height = arguments.value(3).toInt(&heightOk);
    if (arguments.size() < 4 || !widthOk || !heightOk || width <= 0 || height <= 0) {
        std::fprintf(stderr, "usage: make_photos OUTPUT.jpg WIDTH HEIGHT [SEED]\n");
        return 2;
    }
    QImageWriter writer(arguments.at(1), "jpeg");
    writer.setQuality(90);
    if (!writer.write(photo(width, height, arguments.value(4, QStringLiteral("1")).toUInt()))) {
        std::fprintf(stderr, "make_photos: %s\n", qPrintable(writer.errorString()));
        return 1;
    }
    return 0;
}
