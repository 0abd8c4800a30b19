#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "desk/test_services.h"
#include "toast/template.h"

namespace {

using toast::Document;
using toast::ToastTemplate;

class ToastTemplateTest : public ::testing::Test {
 protected:
  void TearDown() override { desk::test::resetSystemFacts(); }

  static std::string build(const ToastTemplate& t, toast::HRESULT* result = nullptr) {
    Document doc = Document::base(t.kind());
    const toast::HRESULT hr = toast::buildDocument(t, doc);
    if (result != nullptr) *result = hr;
    return doc.serialize();
  }
};

TEST_F(ToastTemplateTest, ValueOperations) {
  EXPECT_EQ(ToastTemplate(3).textCount(), 3u);
  EXPECT_EQ(ToastTemplate(4).textCount(), 1u);
  EXPECT_THROW(ToastTemplate(8), std::invalid_argument);
  EXPECT_THROW(ToastTemplate(-1), std::invalid_argument);

  ToastTemplate t(ToastTemplate::ImageAndText04);
  t.setText(u"a", 3);
  t.setText(u"b", -1);
  t.setThirdLine(u"c");
  EXPECT_EQ(t.text(0), u"");
  EXPECT_EQ(t.text(2), u"c");

  t.addAction(u"One");
  t.addAction(u"Two");
  t.addAction(u"Three", u"mine");
  ASSERT_EQ(t.actionCount(), 3u);
  EXPECT_EQ(t.action(0).second, u"0");
  EXPECT_EQ(t.action(1).second, u"1");
  EXPECT_EQ(t.action(2), (std::pair<std::u16string, std::u16string>{u"Three", u"mine"}));

  EXPECT_EQ(t.scenario(), u"Default");
  t.setScenario(ToastTemplate::ScenarioReminder);
  t.setScenario(4);
  EXPECT_EQ(t.scenario(), u"Reminder");

  t.setSystemSound(16);
  EXPECT_EQ(t.soundPath(), u"ms-winsoundevent:Notification.Looping.Call1");
  t.setSystemSound(5);
  EXPECT_EQ(t.soundPath(), u"ms-winsoundevent:Notification.Looping.Alarm");
  t.setSystemSound(26);
  EXPECT_EQ(t.soundPath(), u"ms-winsoundevent:Notification.Looping.Alarm");
  EXPECT_EQ(ToastTemplate::systemSoundUri(25), u"ms-winsoundevent:Notification.Looping.Call10");
  EXPECT_EQ(ToastTemplate::systemSoundUri(14), u"ms-winsoundevent:Notification.Looping.Alarm10");

  ToastTemplate text(ToastTemplate::Text02);
  text.setHeroImage(u"/hero.png", false);
  EXPECT_FALSE(text.hasHeroImage());
  EXPECT_FALSE(text.isGeneric());
  ToastTemplate image(ToastTemplate::ImageAndText01);
  image.setImage(u"/a.png", ToastTemplate::Circle);
  EXPECT_TRUE(image.isGeneric());
}

TEST_F(ToastTemplateTest, WorkedExample) {
  ToastTemplate t(ToastTemplate::ImageAndText02);
  t.setFirstLine(u"Build finished");
  t.setSecondLine(u"All files converted");
  t.setImage(u"/icons/app.png", ToastTemplate::Square);
  t.addAction(u"Open", u"1");
  EXPECT_EQ(build(t),
            "<toast template=\"ToastGeneric\" duration=\"long\" scenario=\"Default\"><visual>"
            "<binding template=\"ToastImageAndText02\">"
            "<image id=\"1\" src=\"file:////icons/app.png\"></image>"
            "<text id=\"1\">Build finished</text><text id=\"2\">All files converted</text>"
            "</binding></visual>"
            "<actions><action content=\"Open\" arguments=\"1\"></action></actions></toast>");
}

struct BuildCase {
  const char* name;
  int32_t kind;
  uint32_t major;
  uint32_t build;
  std::function<void(ToastTemplate&)> setup;
  const char* xml;
};

TEST_F(ToastTemplateTest, BuilderTable) {
  const std::vector<BuildCase> cases = {
      {"text only: scenario, no duration", ToastTemplate::Text01, 10, 19045,
       [](ToastTemplate& t) { t.setFirstLine(u"Hi & <bye>"); },
       "<toast scenario=\"Default\"><visual><binding template=\"ToastText01\">"
       "<text id=\"1\">Hi &amp; &lt;bye&gt;</text></binding></visual></toast>"},
      {"short with two actions", ToastTemplate::Text02, 10, 19045,
       [](ToastTemplate& t) {
         t.setFirstLine(u"T");
         t.setDuration(ToastTemplate::Short);
         t.addAction(u"Yes", u"y");
         t.addAction(u"No", u"n");
       },
       "<toast template=\"ToastGeneric\" duration=\"short\" scenario=\"Default\"><visual>"
       "<binding template=\"ToastText02\"><text id=\"1\">T</text><text id=\"2\"></text>"
       "</binding></visual><actions><action content=\"Yes\" arguments=\"y\"></action>"
       "<action content=\"No\" arguments=\"n\"></action></actions></toast>"},
      {"silent without a sound", ToastTemplate::Text01, 10, 19045,
       [](ToastTemplate& t) { t.setSoundMode(ToastTemplate::Silent); },
       "<toast scenario=\"Default\"><visual><binding template=\"ToastText01\"><text id=\"1\">"
       "</text></binding></visual><audio silent=\"true\"></audio></toast>"},
      {"looping mail sound, alarm, long", ToastTemplate::Text01, 10, 19045,
       [](ToastTemplate& t) {
         t.setSystemSound(2);
         t.setSoundMode(ToastTemplate::Loop);
         t.setScenario(ToastTemplate::ScenarioAlarm);
         t.setDuration(ToastTemplate::Long);
       },
       "<toast duration=\"long\" scenario=\"Alarm\"><visual><binding template=\"ToastText01\">"
       "<text id=\"1\"></text></binding></visual>"
       "<audio src=\"ms-winsoundevent:Notification.Mail\" loop=\"true\"></audio></toast>"},
      {"attribution is the binding's last text", ToastTemplate::Text01, 10, 19045,
       [](ToastTemplate& t) {
         t.setFirstLine(u"T");
         t.setAttribution(u"via Pelmora");
       },
       "<toast scenario=\"Default\"><visual><binding template=\"ToastText01\">"
       "<text id=\"1\">T</text><text placement=\"attribution\">via Pelmora</text>"
       "</binding></visual></toast>"},
      {"circle crop from build 14393", ToastTemplate::ImageAndText01, 10, 14393,
       [](ToastTemplate& t) { t.setImage(u"/a.png", ToastTemplate::Circle); },
       "<toast scenario=\"Default\"><visual><binding template=\"ToastGeneric\">"
       "<image id=\"1\" src=\"file:////a.png\" placement=\"appLogoOverride\" hint-crop=\"circle\">"
       "</image><text id=\"1\"></text></binding></visual></toast>"},
      {"circle crop below build 14393", ToastTemplate::ImageAndText01, 10, 14392,
       [](ToastTemplate& t) { t.setImage(u"/a.png", ToastTemplate::Circle); },
       "<toast scenario=\"Default\"><visual><binding template=\"ToastGeneric\">"
       "<image id=\"1\" src=\"file:////a.png\" placement=\"appLogoOverride\"></image>"
       "<text id=\"1\"></text></binding></visual></toast>"},
      {"hero image, then an inline one", ToastTemplate::ImageAndText01, 10, 19045,
       [](ToastTemplate& t) {
         t.setImage(u"/logo.png", ToastTemplate::Square);
         t.setHeroImage(u"/hero.png", false);
       },
       "<toast scenario=\"Default\"><visual><binding template=\"ToastGeneric\">"
       "<image id=\"1\" src=\"file:////logo.png\" placement=\"appLogoOverride\"></image>"
       "<text id=\"1\"></text><image placement=\"hero\" src=\"/hero.png\"></image>"
       "</binding></visual></toast>"},
      {"inline hero without a logo", ToastTemplate::ImageAndText01, 10, 19045,
       [](ToastTemplate& t) { t.setHeroImage(u"/hero.png", true); },
       "<toast scenario=\"Default\"><visual><binding template=\"ToastGeneric\">"
       "<image id=\"1\" src=\"\"></image><text id=\"1\"></text><image src=\"/hero.png\"></image>"
       "</binding></visual></toast>"},
      {"hero on a text kind is ignored", ToastTemplate::Text01, 10, 19045,
       [](ToastTemplate& t) { t.setHeroImage(u"/hero.png", false); },
       "<toast scenario=\"Default\"><visual><binding template=\"ToastText01\">"
       "<text id=\"1\"></text></binding></visual></toast>"},
      {"version 6: binding, texts and logo only", ToastTemplate::ImageAndText01, 6, 9600,
       [](ToastTemplate& t) {
         t.setFirstLine(u"T");
         t.setImage(u"/a.png", ToastTemplate::Circle);
         t.setHeroImage(u"/hero.png", false);
         t.addAction(u"Open");
         t.setAttribution(u"x");
         t.setSoundMode(ToastTemplate::Silent);
         t.setDuration(ToastTemplate::Short);
       },
       "<toast><visual><binding template=\"ToastGeneric\">"
       "<image id=\"1\" src=\"file:////a.png\" placement=\"appLogoOverride\"></image>"
       "<text id=\"1\">T</text></binding></visual></toast>"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    desk::test::setOsVersion(c.major, 0, c.build);
    ToastTemplate t(c.kind);
    c.setup(t);
    toast::HRESULT hr = toast::E_FAIL;
    EXPECT_EQ(build(t, &hr), c.xml);
    EXPECT_EQ(hr, toast::S_OK);
  }
}

TEST_F(ToastTemplateTest, LogoPathLimit) {
  for (size_t length : {251u, 252u}) {
    SCOPED_TRACE(length);
    ToastTemplate t(ToastTemplate::ImageAndText01);
    const std::u16string path = u"/" + std::u16string(length - 1, u'a');
    t.setImage(path, ToastTemplate::Square);
    toast::HRESULT hr = toast::S_OK;
    const std::string xml = build(t, &hr);
    if (length == 251) {
      EXPECT_EQ(hr, toast::S_OK);
      EXPECT_NE(xml.find("src=\"file:///" + std::string("/") + std::string(250, 'a') + "\""),
                std::string::npos);
    } else {
      EXPECT_EQ(hr, toast::E_INSUFFICIENT_BUFFER);
      EXPECT_NE(xml.find("src=\"\""), std::string::npos);
    }
  }
}

TEST_F(ToastTemplateTest, BaseDocumentsAndMissingElements) {
  for (int32_t kind = 0; kind < 8; ++kind) {
    SCOPED_TRACE(kind);
    const std::string xml = Document::base(kind).serialize();
    EXPECT_EQ(xml.find("<image") != std::string::npos, kind < 4);
    size_t texts = 0;
    for (size_t at = xml.find("<text"); at != std::string::npos; at = xml.find("<text", at + 1))
      ++texts;
    EXPECT_EQ(texts, ToastTemplate::textFieldCount(kind));
  }
  EXPECT_FALSE(Document::base(8));

  // A document without the elements a step needs fails that step instead of crashing.
  Document bare = Document::parse("<toast/>");
  ToastTemplate t(ToastTemplate::ImageAndText02);
  t.setHeroImage(u"/h.png", false);
  EXPECT_EQ(toast::buildDocument(t, bare), toast::E_FAIL);
  Document empty;
  EXPECT_EQ(toast::addActionElement(empty, u"a", u"b"), toast::E_FAIL);
}

}  // namespace
