#include "runtime/log/tracing_driver.h"

#include "os/process.h"
#include "os/text.h"
#include "runtime/core/exception.h"
#include "runtime/core/registry.h"

namespace {

// Two of the panel's own modules share this code and never trace.
bool isExcludedModule() {
  std::u16string path = os::executablePath();
  std::u16string name = path.substr(path.find_last_of(u"\\/") + 1);
  for (char16_t& c : name) c = os::toLower(c);
  return name == u"kelvorepairmodule.dll" || name == u"kelvourlprotection.dll";
}

// Tracing is off unless the switch says otherwise; a configuration that cannot be read must not
// stop the tool. Reading it creates nothing.
bool tracingEnabled() {
  if (isExcludedModule()) return false;
  try {
    std::uint32_t enabled = 0;
    (void)registry::lookup(registry::HKEY_LOCAL_MACHINE, registry::PRODUCT_CONFIG_KEY, u"opentracing_enabled",
                           enabled, registry::VIEW_32);
    return enabled != 0;
  } catch (const vexception&) {
    return false;
  }
}

std::u16string providerPath() {
  std::u16string path = os::executablePath();
  return path.substr(0, path.find_last_of(u"\\/") + 1) + u"opentracingprovider.so";
}

// A provider's span; every call takes the driver's lock.
class ProviderSpan : public tracing::SpanDriver {
public:
  ProviderSpan(OpenTracingSpan* span, std::mutex& mutex) : span_(span), mutex_(mutex) {}
  ~ProviderSpan() override {
    std::lock_guard lock(mutex_);
    span_->functions->destroy(span_);
  }
  bool isActive() const override {
    std::lock_guard lock(mutex_);
    return span_->functions->isActive(span_) != 0;
  }
  void setFailed(std::string_view text) override {
    std::string copy(text);
    std::lock_guard lock(mutex_);
    span_->functions->setFailed(span_, copy.c_str());
  }
  void setTag(std::string_view name, std::string_view value) override {
    std::string nameCopy(name), valueCopy(value);
    std::lock_guard lock(mutex_);
    span_->functions->setTag(span_, nameCopy.c_str(), valueCopy.c_str());
  }

private:
  OpenTracingSpan* span_;
  std::mutex& mutex_;
};

// The span source of guarded operations. A span wanted while the driver itself works on this
// thread (reading its switch, loading the provider) is inert instead of recursing.
std::unique_ptr<tracing::SpanDriver> startSpan(const char* name, std::int32_t line, const char* parent) {
  thread_local bool inside = false;
  if (inside) return nullptr;
  struct Inside {
    Inside() { inside = true; }
    ~Inside() { inside = false; }
  } scope;
  return OpenTracingDriver::instance().StartSpan(name, line, parent);
}

} // namespace

OpenTracingDriver& OpenTracingDriver::instance() {
  static OpenTracingDriver driver;
  return driver;
}

void OpenTracingDriver::install() { tracing::installSpanSource(&startSpan); }

OpenTracingDriver::OpenTracingDriver() : enabled_(tracingEnabled()) {}

OpenTracingDriver::~OpenTracingDriver() {
  if (tracer_) tracer_->functions->destroy(tracer_);
}

void OpenTracingDriver::load() {
  RunTime::LibraryPtr& library = library_.emplace(providerPath());
  try {
    getTracer_ = library.entry<OpenTracingProviderGetTracerFunction>("OpenTracingProviderGetTracer");
    getSpanContext_ =
        library.entry<OpenTracingProviderGetSpanContextFunction>("OpenTracingProviderGetSpanContext");
    injectCurrentSpan_ =
        library.entry<OpenTracingProviderInjectCurrentSpanFunction>("OpenTracingProviderInjectCurrentSpan");
  } catch (...) {
    library_.reset();
    throw;
  }
}

std::unique_ptr<OpenTracingDriver::ISpanContextProvider>
OpenTracingDriver::StartSpan(const std::string& name, std::int32_t line, const std::string& parent) {
  if (!enabled_) return std::make_unique<OpenTracingSpanContextNone>();
  std::lock_guard lock(mutex_);
  if (!library_) load();
  if (!tracer_) tracer_ = getTracer_();
  OpenTracingSpan* span = getSpanContext_(&tracer_, name.c_str(), line, parent.c_str());
  if (!span) return std::make_unique<OpenTracingSpanContextNone>();
  return std::make_unique<ProviderSpan>(span, mutex_);
}

void OpenTracingDriver::injectCurrentSpan() {
  if (!enabled_) return;
  std::lock_guard lock(mutex_);
  if (library_ && tracer_) injectCurrentSpan_(&tracer_);
}
