#include "web/http_answers.h"

#include <boost/beast/core/string.hpp>
#include <string>

#include "web/page_files.h"

namespace http = boost::beast::http;

namespace {

// Only the page's own files and socket; the page's icon is an empty data: address.
constexpr char CONTENT_SECURITY_POLICY[] =
    "default-src 'none'; script-src 'self'; style-src 'self'; connect-src 'self'; img-src 'self' data:; "
    "base-uri 'none'; form-action 'none'; frame-ancestors 'none'";

const PageFile *findPageFile(boost::beast::string_view target, bool forConductor) {
    const auto query = target.find('?');
    if (query != boost::beast::string_view::npos) target = target.substr(0, query);
    for (size_t i = 0; i < PAGE_FILE_COUNT; i++) {
        if (PAGE_FILES[i].forConductor == forConductor && target == PAGE_FILES[i].path) return &PAGE_FILES[i];
    }
    return nullptr;
}

HttpResponse textAnswer(http::status status, unsigned version, const char *type, std::string body) {
    HttpResponse response{status, version};
    response.set(http::field::content_type, type);
    response.set(http::field::cache_control, "no-cache");
    guardPage(response);
    response.body() = std::move(body);
    response.prepare_payload();
    return response;
}

// The file (its type and body; nullptr: none), or why not.
HttpResponse answerWith(const HttpRequest &request, const char *type, const char *body) {
    const bool readOnly = request.method() == http::verb::get || request.method() == http::verb::head;
    HttpResponse response;
    if (body == nullptr) {
        response = refusal(http::status::not_found, request.version());
    } else if (!readOnly) {
        response = refusal(http::status::method_not_allowed, request.version());
        response.set(http::field::allow, "GET, HEAD");
    } else {
        response = textAnswer(http::status::ok, request.version(), type, body);
    }
    response.keep_alive(request.keep_alive());
    if (request.method() == http::verb::head) response.body().clear();
    return response;
}

HttpResponse answerFile(const HttpRequest &request, const PageFile *file) {
    return file == nullptr ? answerWith(request, "", nullptr) : answerWith(request, file->type, file->body);
}

}  // namespace

HttpResponse answerRequest(const HttpRequest &request) {
    return answerFile(request, findPageFile(request.target(), false));
}

HttpResponse answerConductorRequest(const HttpRequest &request, boost::beast::string_view file,
                                    const std::string &qrSvg) {
    if (file == "qr.svg") return answerWith(request, "image/svg+xml", qrSvg.c_str());
    return answerFile(request, findPageFile("/" + std::string(file), true));
}

HttpResponse plainAnswer(http::status status, unsigned version) {
    return textAnswer(status, version, "text/plain; charset=utf-8", std::string(http::obsolete_reason(status)) + "\n");
}

HttpResponse redirection(const std::string &location, unsigned version) {
    HttpResponse response = plainAnswer(http::status::found, version);
    response.set(http::field::location, location);
    return response;
}

HttpResponse refusal(http::status status, unsigned version) {
    HttpResponse response = plainAnswer(status, version);
    response.keep_alive(false);
    return response;
}

bool fromOwnPage(const HttpRequest &request) {
    const auto origin = request.find(http::field::origin);
    if (origin == request.end()) return true;
    const boost::beast::string_view site = origin->value();
    const auto schemeEnd = site.find("://");
    if (schemeEnd == boost::beast::string_view::npos) return false;
    return boost::beast::iequals(site.substr(schemeEnd + 3), request[http::field::host]);
}

void guardPage(HttpResponse &response) {
    response.set("Content-Security-Policy", CONTENT_SECURITY_POLICY);
    response.set(http::field::x_frame_options, "DENY");
    response.set("X-Content-Type-Options", "nosniff");
}
