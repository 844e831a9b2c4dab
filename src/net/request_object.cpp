#include "net/request_object.h"

#include <mutex>
#include <utility>

#include "net/curl_request_object.h"

namespace wuqu {
namespace {

std::mutex factory_mutex;

RequestObjectFactory& Factory() {
  static RequestObjectFactory factory = [] { return MakeCurlRequestObject(); };
  return factory;
}

}  // namespace

std::shared_ptr<RequestObject> CreateRequestObject() {
  RequestObjectFactory factory;
  {
    std::lock_guard lock(factory_mutex);
    factory = Factory();
  }
  return factory ? factory() : nullptr;
}

ScopedRequestObjectFactory::ScopedRequestObjectFactory(RequestObjectFactory factory) {
  std::lock_guard lock(factory_mutex);
  previous_ = std::exchange(Factory(), std::move(factory));
}

ScopedRequestObjectFactory::~ScopedRequestObjectFactory() {
  std::lock_guard lock(factory_mutex);
  Factory() = std::move(previous_);
}

}  // namespace wuqu
