#pragma once
// A picture as the cover bytes a track would carry: encoded as JPEG, shared as the cover source hands them out.
#include <QBuffer>
#include <QByteArray>
#include <QImage>

#include <cstdint>
#include <memory>
#include <vector>

namespace plindo::bench {

inline std::shared_ptr<const std::vector<uint8_t>> jpegBytes(const QImage& img, int quality) {
    QByteArray data;
    QBuffer buf(&data);
    buf.open(QIODevice::WriteOnly);
    img.save(&buf, "JPEG", quality);
    return std::make_shared<const std::vector<uint8_t>>(data.begin(), data.end());
}

}  // namespace plindo::bench
