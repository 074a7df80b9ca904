#pragma once
// The web port's plain HTTP answers: the page's files and the refusals, each with the headers that
// keep the page to its own files and socket, in no other site's frame.
#include <boost/beast/http/message.hpp>
#include <boost/beast/http/status.hpp>
#include <boost/beast/http/string_body.hpp>
#include <string>

using HttpRequest = boost::beast::http::request<boost::beast::http::string_body>;
using HttpResponse = boost::beast::http::response<boost::beast::http::string_body>;

// A file of the audience's page, or why not: 404 for another path, 405 for a method other than GET
// or HEAD.
HttpResponse answerRequest(const HttpRequest &request);
// The same for the conductor's page, whose files are named by what follows the key ("" for the page
// itself), and its QR code of the audience's address, qr.svg.
HttpResponse answerConductorRequest(const HttpRequest &request, boost::beast::string_view file,
                                    const std::string &qrSvg);
// An answer with the status line's words as its text, such as 202 Accepted.
HttpResponse plainAnswer(boost::beast::http::status status, unsigned version);
// Sends the browser to the location, kept for the next connection.
HttpResponse redirection(const std::string &location, unsigned version);
// A refusal with its status line's words as its text; the connection closes after it.
HttpResponse refusal(boost::beast::http::status status, unsigned version);
// Whether a WebSocket request comes from the room's own page, or from no browser at all: a
// browser names the site of the page that opens a socket, and any other site is refused.
bool fromOwnPage(const HttpRequest &request);
// The headers every answer carries, the WebSocket's too.
void guardPage(HttpResponse &response);
