#include "io/ui_sink.h"

#include <atomic>

namespace salvora {
namespace {
SilentUi silentUi;
std::atomic<UiSink*> currentUi{&silentUi};
}  // namespace

UiSink& Ui() { return *currentUi.load(); }

void SetUi(UiSink* sink) { currentUi.store(sink ? sink : &silentUi); }

}  // namespace salvora
