// The transformer interface and every transformer factory. Each factory checks its arguments in
// a fixed order, reports only the first refusal, and copies the bytes it is given, so that later
// changes to the caller's bytes never reach the transformer.
#include "CommErrorRaise.h"

#include <chrono>
#include <optional>
#include <utility>

SLKDataTransformer::~SLKDataTransformer() = default;

namespace {

bool isNullOrEmpty(const SLKData& bytes) { return !bytes || bytes->empty(); }

// Seconds on a clock that never steps: a wall clock set forward or back neither fakes a pause
// nor hides one.
double monotonicNow() {
    using Seconds = std::chrono::duration<double>;
    return std::chrono::duration_cast<Seconds>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// The callable of a time transformer. Copies of it share one reference time, so the transformer
// keeps measuring from the same point whichever copy runs (blk() hands out copies).
SLPBlockDataTransformer::Block makeTimingBlock(double timeout, std::function<void()> blk) {
    auto reference = std::make_shared<std::optional<double>>();
    return [reference, timeout, blk = std::move(blk)](SLKBytes&) {
        const double now = monotonicNow();
        if (!*reference)
            *reference = now;
        if (now - **reference >= timeout) {
            // The call after this one starts a new measurement.
            reference->reset();
            blk();
        } else {
            *reference = now;
        }
    };
}

} // namespace

SLKDataTransformerRef createBlockTransformer(std::function<void(SLKBytes&)> blk, CommErrorRef* error) noexcept {
    if (!blk) {
        SLK_RAISE(error, SLKErrorInvalidArgument, "blk cannot be nil");
        return nullptr;
    }
    return std::make_shared<SLPBlockDataTransformer>(std::move(blk));
}

SLKDataTransformerRef createPrependingTransformer(SLKData prepend, CommErrorRef* error) noexcept {
    if (!prepend) {
        SLK_RAISE(error, SLKErrorInvalidArgument, "prepend can not be nil");
        return nullptr;
    }
    return std::make_shared<SLPBlockDataTransformer>([prefix = SLKBytes(*prepend)](SLKBytes& data) {
        data.insert(data.begin(), prefix.begin(), prefix.end());
    });
}

SLKDataTransformerRef createAppendingTransformer(SLKData data, CommErrorRef* error) noexcept {
    if (!data) {
        SLK_RAISE(error, SLKErrorInvalidArgument, "data can not be nil");
        return nullptr;
    }
    return std::make_shared<SLPBlockDataTransformer>([suffix = SLKBytes(*data)](SLKBytes& block) {
        block.insert(block.end(), suffix.begin(), suffix.end());
    });
}

SLKDataTransformerRef createAggregatingTransformer(SLKData terminator, bool removeTerminator,
                                                   CommErrorRef* error) noexcept {
    if (isNullOrEmpty(terminator)) {
        SLK_RAISE(error, SLKErrorInvalidArgument, "pattern cannot be nil, or empty");
        return nullptr;
    }
    return std::make_shared<SLPDataAggregatorTransformer>(*terminator, removeTerminator);
}

SLKDataTransformerRef createFilteringTransformer(SLKData pattern, CommErrorRef* error) noexcept {
    if (isNullOrEmpty(pattern)) {
        SLK_RAISE(error, SLKErrorInvalidArgument, "pattern cannot be nil, or empty");
        return nullptr;
    }
    return std::make_shared<SLPEventGenerationTransformer>(*pattern, SLPEventGenerationTransformer::Action(), true);
}

SLKDataTransformerRef createEventGeneratorTransformer(SLKData pattern, bool removeData, std::function<void()> action,
                                                      CommErrorRef* error) noexcept {
    if (isNullOrEmpty(pattern)) {
        SLK_RAISE(error, SLKErrorInvalidArgument, "pattern cannot be nil, or empty");
        return nullptr;
    }
    if (!action) {
        SLK_RAISE(error, SLKErrorInvalidArgument, "blk cannot be nil");
        return nullptr;
    }
    return std::make_shared<SLPEventGenerationTransformer>(*pattern, std::move(action), removeData);
}

SLKDataTransformerRef createTimeTransformer(double timeout, std::function<void()> blk, CommErrorRef* error) noexcept {
    // Written as "not greater than zero" so that a NaN timeout, which could never trigger, is
    // refused the same way.
    if (!(timeout > 0.0)) {
        SLK_RAISE(error, SLKErrorInvalidArgument, "timeout cannot be less than or equal to zero");
        return nullptr;
    }
    if (!blk) {
        SLK_RAISE(error, SLKErrorInvalidArgument, "blk cannot be nil");
        return nullptr;
    }
    return std::make_shared<SLPBlockDataTransformer>(makeTimingBlock(timeout, std::move(blk)));
}
