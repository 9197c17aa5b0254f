// Helpers for the authorisation server and the signed link request.

#include <gtest/gtest.h>

#include <sodium.h>

#include "controller/auth.h"

using namespace velarix::controller;

TEST(AuthServer, EndpointsAndErrorTexts) {
  struct Case {
    const char* base;
    const char* token;
  } cases[] = {
      {"https://auth.example.com", "https://auth.example.com/oauth/v2/token"},
      {"https://auth.example.com/some/path?q=1#f", "https://auth.example.com/oauth/v2/token"},
      {"https://user:pw@Auth.Example.com:8443/x/", "https://user:pw@auth.example.com:8443/oauth/v2/token"},
      {"https://auth.example.com:443", "https://auth.example.com/oauth/v2/token"},
      {"not a url///", "not a url/oauth/v2/token"},
      {"auth.example.com/", "auth.example.com/oauth/v2/token"},
  };
  for (const auto& c : cases) EXPECT_EQ(token_endpoint(c.base), c.token) << c.base;
  EXPECT_EQ(userinfo_endpoint("https://auth.example.com/base"), "https://auth.example.com/oidc/v1/userinfo");
  EXPECT_EQ(device_authorization_endpoint("https://auth.example.com"),
            "https://auth.example.com/oauth/v2/device_authorization");

  using K = AuthServerError::Kind;
  EXPECT_EQ(AuthServerError::plain(K::NotFound).message(), "Not found (404)");
  EXPECT_EQ(AuthServerError::plain(K::Unauthorized).message(), "Unauthorized (401)");
  EXPECT_EQ(AuthServerError::plain(K::Forbidden).message(), "Forbidden (403)");
  EXPECT_EQ(AuthServerError::plain(K::InternalServerError).message(), "Internal server error (500)");
  EXPECT_EQ(AuthServerError::plain(K::BadGateway).message(), "Bad gateway (502)");
  EXPECT_EQ(AuthServerError::plain(K::ServiceUnavailable).message(), "Service unavailable (503)");
  EXPECT_EQ(AuthServerError::plain(K::GatewayTimeout).message(), "Gateway timeout (504)");
  EXPECT_EQ(AuthServerError::server_error(418).message(), "Server error (418)");
}

TEST(AuthServer, LinkRequestSignsTheFieldsInOrder) {
  auto id = velarix::p2p::Identity::generate(4);
  ASSERT_TRUE(id);
  const NodeLinkChallengePayload payload{"a", "bc", "", "d", -12, 345, "e"};
  auto verify = [&](const NodeLinkRequest& req, const std::string& message) {
    std::vector<unsigned char> sig(64);
    std::size_t len = 0;
    if (sodium_base642bin(sig.data(), sig.size(), req.signature.data(), req.signature.size(), nullptr, &len, nullptr,
                          sodium_base64_VARIANT_URLSAFE_NO_PADDING) != 0 ||
        len != 64) {
      return false;
    }
    return crypto_sign_verify_detached(sig.data(), reinterpret_cast<const unsigned char*>(message.data()),
                                       message.size(), id->pk().data()) == 0;
  };
  auto plain = build_link_request(payload, id->sk(), std::nullopt);
  ASSERT_TRUE(plain);
  EXPECT_EQ(plain->algorithm, "Ed25519");
  EXPECT_EQ(plain->signature.size(), 86u);
  EXPECT_EQ(plain->signature.find_first_of("+/="), std::string::npos);
  EXPECT_EQ(plain->extra, std::nullopt);
  EXPECT_TRUE(verify(*plain, "abcd-12345e"));

  auto extra = build_link_request(payload, id->sk(), "xyz");
  ASSERT_TRUE(extra);
  EXPECT_EQ(extra->extra, "xyz");
  EXPECT_EQ(extra->payload.int_1, -12);
  EXPECT_TRUE(verify(*extra, "abcd-12345exyz"));
  EXPECT_FALSE(verify(*extra, "abcd-12345e"));
}
