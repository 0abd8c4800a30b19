#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "zrkwebview/browser/src/handlers/http-plugin-handler.h"
#include "zrkwebview/browser/src/http/handler-list.h"

namespace {

class NamedHandler : public http::HttpHandler {
  VESK_DECLARE_CLASS(NamedHandler, http::HttpHandler, "test")

 public:
  explicit NamedHandler(const char* name) : name_(name) {}
  const char* path() override { return name_; }

 private:
  const char* name_;
};

std::vector<std::string> paths() {
  std::vector<std::string> out;
  for (const auto& entry : *http::handlerList()) {
    out.push_back(std::dynamic_pointer_cast<http::HttpHandler>(entry)->path());
  }
  return out;
}

TEST(HandlerList, RegistrationOrderKindsAndOnce) {
  auto& list = http::handlerList();
  ASSERT_NE(list, nullptr);
  EXPECT_TRUE(list->empty());
  EXPECT_EQ(&http::handlerList(), &list);

  http::HandlerWrapper(std::make_shared<NamedHandler>("/thumbnail"), false);
  http::HandlerWrapper(std::make_shared<NamedHandler>("/get-image"), false);
  http::HandlerWrapper(std::make_shared<NamedHandler>("/bundle"), true);
  http::HandlerWrapper(std::make_shared<NamedHandler>("/update"), false);
  // Not handlers: ignored.
  http::HandlerWrapper(std::make_shared<Vesk::TNull>(), true);
  http::HandlerWrapper(nullptr, false);
  http::HandlerWrapper();

  http::registerAssetHandler();
  http::registerLocalfileHandler();
  http::registerPluginHandler();
  http::registerAssetHandler();
  http::registerLocalfileHandler();
  http::registerPluginHandler();

  EXPECT_EQ(paths(), (std::vector<std::string>{"/bundle", "/thumbnail", "/get-image", "/update", "/asset",
                                               "/localfile", "/plugin"}));
  EXPECT_TRUE(list->back()->isKindOfClass(&http::HttpPluginHandler::classDescriptor));
  EXPECT_STREQ(list->back()->className(), "HttpPluginHandler");
}

}  // namespace
