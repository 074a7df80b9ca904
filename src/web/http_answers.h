#pragma once
// The web port's plain HTTP answers: the page's files and the refusals, each with the headers that
// keep the page to its own files and socket, in no other site's frame.
#include <boost/beast/http/message.hpp>
#include <boost/beast/http/status.hpp>
#include <boost/beast/http/string_body.hpp>

using HttpRequest = boost::beast::http::request<boost::beast::http::string_body>;
using HttpResponse = boost::beast::http::response<boost::beast::http::string_body>;

// A file of the page, or why not: 404 for another path, 405 for a method other than GET or HEAD.
HttpResponse answerRequest(const HttpRequest &request);
// A refusal with its status line's words as its text; the connection closes after it.
HttpResponse refusal(boost::beast::http::status status, unsigned version);
// Whether a WebSocket request comes from the room's own page, or from no browser at all: a
// browser names the site of the page that opens a socket, and any other site is refused.
bool fromOwnPage(const HttpRequest &request);
// The headers every answer carries, the WebSocket's too.
void guardPage(HttpResponse &response);
