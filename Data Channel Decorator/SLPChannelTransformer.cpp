// A decorator that passes every block read or written through lists of transformers. Each block
// is copied once; the transformers then work in place on that private copy.
#include "CommErrorRaise.h"
#include "SLKChannelDecorator.h"

namespace {

std::vector<SLKDataTransformerRef> copyOrEmpty(const std::vector<SLKDataTransformerRef>* list) {
    return list ? *list : std::vector<SLKDataTransformerRef>();
}

} // namespace

SLPChannelTransformer::SLPChannelTransformer(SLKDataChannelRef channel,
                                             const std::vector<SLKDataTransformerRef>* readTransformers,
                                             const std::vector<SLKDataTransformerRef>* writeTransformers)
    : SLKChannelDecorator(std::move(channel)),
      _readTransformers(copyOrEmpty(readTransformers)),
      _writeTransformers(copyOrEmpty(writeTransformers)) {}

bool SLPChannelTransformer::isHomogenousDataTransformerArray(const std::vector<SLKDataTransformerRef>* list) {
    // The list's type admits only transformers, so the one element that does not conform is null.
    if (list == nullptr)
        return true;
    for (const SLKDataTransformerRef& transformer : *list) {
        if (!transformer)
            return false;
    }
    return true;
}

SLK_DECORATOR_OWN_FORWARDS(SLPChannelTransformer)

SLKData SLPChannelTransformer::readWithTimeout(double timeout, CommErrorRef* error) noexcept {
    return SLK_CONTAIN(error, SLKErrorRead, SLKData(), readTransformed(timeout, error));
}

bool SLPChannelTransformer::write(const SLKData& data, CommErrorRef* error) noexcept {
    // Null data: false, nothing written, no transformer run, and the slot stays as it was.
    if (!data)
        return false;
    return SLK_CONTAIN(error, SLKErrorPortSystem, false, writeTransformed(*data, error));
}

SLKData SLPChannelTransformer::readTransformed(double timeout, CommErrorRef* error) {
    SLKData received = _channel->readWithTimeout(timeout, error);
    if (!received)
        return nullptr;
    auto block = std::make_shared<SLKBytes>(*received);
    for (const SLKDataTransformerRef& transformer : _readTransformers)
        transformer->modifyData(*block);
    return block;
}

bool SLPChannelTransformer::writeTransformed(const SLKBytes& data, CommErrorRef* error) {
    auto block = std::make_shared<SLKBytes>(data);
    for (const SLKDataTransformerRef& transformer : _writeTransformers)
        transformer->modifyData(*block);
    return _channel->write(block, error);
}
