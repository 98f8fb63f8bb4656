#include "velmora/StreamAccessFactory.h"

#include "velmora/BufferedStream.h"
#include "velmora/FileStream.h"
#include "velmora/MemoryStream.h"
#include "velmora/RandomAccessStream.h"

namespace velmora {

StreamAccess::~StreamAccess() = default;

std::shared_ptr<StreamAccess> StreamAccessFactory::openFileRead(const std::string& path,
                                                                std::size_t bufferSize) {
    return std::make_shared<BufferedStream>(std::make_shared<FileStream>(path), bufferSize);
}

std::shared_ptr<StreamAccess> StreamAccessFactory::fromRandomAccess(std::shared_ptr<RandomAccess> source) {
    return std::make_shared<RandomAccessStream>(std::move(source));
}

std::shared_ptr<StreamAccess>
StreamAccessFactory::fromMemory(std::shared_ptr<const std::vector<std::uint8_t>> bytes) {
    return std::make_shared<MemoryStream>(std::move(bytes));
}

std::shared_ptr<StreamAccess> StreamAccessFactory::fromMemory(const void* data, std::size_t size) {
    return std::make_shared<MemoryStream>(data, size);
}

} // namespace velmora
