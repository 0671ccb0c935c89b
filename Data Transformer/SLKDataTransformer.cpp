#include "CommErrorRaise.h"
#include "Pending.h"
SLKDataTransformer::~SLKDataTransformer() = default;
SLPBlockDataTransformer::SLPBlockDataTransformer(Block) { SLK_PENDING(); }
void SLPBlockDataTransformer::modifyData(SLKBytes&) noexcept { SLK_PENDING(); }
SLPBlockDataTransformer::Block SLPBlockDataTransformer::blk() const { SLK_PENDING(); }
void SLPBlockDataTransformer::setBlk(Block) { SLK_PENDING(); }
SLPDataAggregatorTransformer::SLPDataAggregatorTransformer(const SLKBytes&, bool r) : _removeTerminator(r) { SLK_PENDING(); }
void SLPDataAggregatorTransformer::modifyData(SLKBytes&) noexcept { SLK_PENDING(); }
SLKBytes SLPDataAggregatorTransformer::buffer() const { SLK_PENDING(); }
SLPEventGenerationTransformer::SLPEventGenerationTransformer(const SLKBytes&, Action, bool r) : _removeData(r) { SLK_PENDING(); }
void SLPEventGenerationTransformer::modifyData(SLKBytes&) noexcept { SLK_PENDING(); }
bool SLPEventGenerationTransformer::__modifyData(SLKBytes&) { SLK_PENDING(); }
SLKDataTransformerRef createBlockTransformer(std::function<void(SLKBytes&)>, CommErrorRef*) noexcept { SLK_PENDING(); }
SLKDataTransformerRef createPrependingTransformer(SLKData, CommErrorRef*) noexcept { SLK_PENDING(); }
SLKDataTransformerRef createAppendingTransformer(SLKData, CommErrorRef*) noexcept { SLK_PENDING(); }
SLKDataTransformerRef createAggregatingTransformer(SLKData, bool, CommErrorRef*) noexcept { SLK_PENDING(); }
SLKDataTransformerRef createFilteringTransformer(SLKData, CommErrorRef*) noexcept { SLK_PENDING(); }
SLKDataTransformerRef createEventGeneratorTransformer(SLKData, bool, std::function<void()>, CommErrorRef*) noexcept { SLK_PENDING(); }
SLKDataTransformerRef createTimeTransformer(double, std::function<void()>, CommErrorRef*) noexcept { SLK_PENDING(); }
