#include "testing/fakes/intranet_site.h"

#include "testing/fakes/random.h"

namespace testing::fakes {

namespace {

std::string page(const std::string& title, const std::string& body) {
  return "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>" + title + "</title></head>\n<body>\n" + body +
         "</body></html>\n";
}

Handler html(std::string text) {
  return [text = std::move(text)](const HttpRequest&, HttpResponse& res) {
    res.set_content(text, "text/html; charset=utf-8");
  };
}

}  // namespace

std::string IntranetSite::home_page() {
  return page("Intranet",
              "<h1>Intranet</h1>\n<ul>\n"
              "<li><a id=\"menu\" href=\"/menu\">Menu</a></li>\n"
              "<li><a id=\"news\" href=\"/news/42\">News</a></li>\n"
              "<li><a id=\"frames\" href=\"/frames\">Frames</a></li>\n"
              "<li><a id=\"login\" href=\"/login?user=demo\">Log in</a></li>\n"
              "<li><a id=\"mail\" href=\"" + std::string(kMailto) + "\">Write to the office</a></li>\n"
              "<li><a id=\"tel\" href=\"" + std::string(kTel) + "\">Call the office</a></li>\n"
              "<li><a id=\"foreign\" href=\"" + std::string(kForeignUrl) + "\">Partner</a></li>\n"
              "<li><a id=\"maker\" href=\"" + std::string(kMakerUrl) + "\">Maker</a></li>\n"
              "<li><a id=\"blank\" href=\"/about\" target=\"_blank\">About, in a new window</a></li>\n"
              "</ul>\n");
}

std::string IntranetSite::frames_page() {
  return page("Frames",
              "<h1>Frames</h1>\n"
              "<iframe id=\"f1\" src=\"/frame/1\"></iframe>\n"
              "<iframe id=\"f2\" src=\"/frame/2\"></iframe>\n"
              "<iframe id=\"f3\" src=\"/frame/3\"></iframe>\n");
}

IntranetSite::IntranetSite(ServiceOptions options) : FakeService("intranet", {kHost}, options) {
  route("GET", "/", html(home_page()));
  route("GET", "/frames", html(frames_page()));
  route("GET", "/frame/([0-9]+)", [](const HttpRequest& req, HttpResponse& res) {
    res.set_content(page("Frame " + req.matches[1], "<p>Frame " + req.matches[1] + "</p>\n"),
                    "text/html; charset=utf-8");
  });
  route("GET", "/(menu|news|about)", [](const HttpRequest& req, HttpResponse& res) {
    res.set_content(page(req.matches[1], "<h1>" + req.matches[1] + "</h1>\n<a href=\"/\">Home</a>\n"),
                    "text/html; charset=utf-8");
  });
  route("GET", "/news/([0-9]+)", [](const HttpRequest& req, HttpResponse& res) {
    res.set_content(page("News " + req.matches[1], "<h1>News " + req.matches[1] + "</h1>\n"),
                    "text/html; charset=utf-8");
  });
  route("GET", "/login", [this](const HttpRequest& req, HttpResponse& res) {
    const std::string user = req.get_param_value("user");
    if (user.empty()) {
      res.status = 400;
      res.set_content(page("Login", "<p>No user given.</p>\n"), "text/html; charset=utf-8");
      return;
    }
    const std::string id = random_hex(16);
    {
      std::lock_guard lock(session_mutex_);
      session_id_ = id;
      user_ = user;
    }
    res.status = 302;
    res.set_header("Location", "/");
    res.set_header("Set-Cookie", "PHPSESSID=" + id + "; Path=/");
  });
  route("POST", kRegisterPath, json(200, {{"ok", true}}));
  route("GET", "/intranet/rest/device/.*", json(200, {{"ok", true}}));
  route("POST", "/intranet/rest/device/.*", json(200, {{"ok", true}}));
}

IntranetSite::~IntranetSite() { stop(); }

std::string IntranetSite::session_id() const {
  std::lock_guard lock(session_mutex_);
  return session_id_;
}

std::string IntranetSite::user() const {
  std::lock_guard lock(session_mutex_);
  return user_;
}

}  // namespace testing::fakes
