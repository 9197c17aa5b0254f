#include <gtest/gtest.h>

#include "agent/url.h"

using velarix::agent::Url;

TEST(Url, NormalisesSpecialSchemes) {
  struct Case {
    const char* text;
    const char* normal;
  } cases[] = {
      {"https://example.com", "https://example.com/"},
      {"HTTPS://Example.COM/Path", "https://example.com/Path"},
      {"http://example.com:80/a", "http://example.com/a"},
      {"https://example.com:443", "https://example.com/"},
      {"https://example.com:8443/x?q=1#f", "https://example.com:8443/x?q=1#f"},
      {"http://example.com/a/./b/../c", "http://example.com/a/c"},
      {"http://user:pw@example.com/", "http://user:pw@example.com/"},
      {"file:///etc/velarix/net.toml", "file:///etc/velarix/net.toml"},
      {"FILE://localhost/tmp/x", "file:///tmp/x"},
      {"controller://0f8fad5b-d9cb-469f-a165-70867728950e", "controller://0f8fad5b-d9cb-469f-a165-70867728950e"},
      {"Controller://ABC", "controller://ABC"},
  };
  for (const auto& c : cases) {
    auto u = Url::parse(c.text);
    ASSERT_TRUE(u) << c.text << ": " << u.error();
    EXPECT_EQ(u->as_str(), c.normal) << c.text;
  }
  EXPECT_EQ(*Url::parse("https://EXAMPLE.com"), *Url::parse("https://example.com/"));
  EXPECT_EQ(Url::parse("https://example.com:8443/x")->host(), "example.com");
  EXPECT_EQ(Url::parse("controller://abc")->scheme(), "controller");
}

TEST(Url, RefusesWhatIsNotAnAbsoluteUrl) {
  for (const char* text : {"", "example.com", "/relative/path", "http://", "https:///path", "http://exa mple.com/",
                           "1http://example.com", "http://example.com:port/"}) {
    EXPECT_FALSE(Url::parse(text)) << text;
  }
  EXPECT_EQ(Url::parse("example.com").error(), "relative URL without a base");
}
