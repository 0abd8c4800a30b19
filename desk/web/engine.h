// The browser engine behind the webviews.
//
// An `Engine` makes environments; an environment is one browser (one user-data folder, one set
// of browser arguments) and makes webviews; a `Webview` is one page: its controller side (bounds,
// DPI, zoom, background colour, visibility, close) and its core side (settings, request filters,
// navigation, scripts, page messages and events).
//
// Threads. Every call on an environment or a webview is made on the owner's thread (the UI
// thread), except `Deferral::complete` / `Deferral::fail` and the destruction of a deferral, which
// any thread may do. Engine events and the completions of asynchronous calls never run on an
// engine thread: each is handed, in the order it arose, to the `Executor` the owner gave with the
// environment, which runs it on the owner's thread.
//
// Nothing waits for ever: a paused request is answered by its deferral, or failed when its
// deferral is dropped without a reply, when its webview closes and when the browser dies; every
// completion is called once, with `Result::closed` or `Result::browserGone` when the webview or
// the browser went away first.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace desk::web {

enum class Result {
  ok,
  failed,           // the engine refused or could not do it
  invalidArgument,  // the arguments make no sense (an alpha other than 0 or 255, an empty script)
  notReady,         // the webview is not ready for this yet
  closed,           // the webview was closed first
  browserGone,      // the browser process ended first
};

const char* resultName(Result r);

// Runs the given work on the owner's thread, in the order of the calls. May be called from any
// thread; must never run the work inline on an engine thread.
using Executor = std::function<void(std::function<void()>)>;

using Headers = std::vector<std::pair<std::string, std::string>>;

struct Request {
  std::string method;
  std::string url;
  Headers headers;   // in the order the engine gives them
  std::string body;  // raw bytes, empty without a body
};

// A reply body read piece by piece from where it lies (a file, a buffer the owner keeps), so a
// large body is never copied whole. Read on one engine thread at a time, in order, at most once.
class BodySource {
 public:
  virtual ~BodySource() = default;
  // The body's length in bytes, fixed before the first read.
  virtual uint64_t size() const = 0;
  // Fills up to `max` bytes; returns how many (0 at the end), or -1 when the source fails (the
  // request then fails).
  virtual int64_t read(char* buffer, size_t max) = 0;
};

// The file's bytes as a body source, opened now; null (and `error` says why) when the file
// cannot be opened or is not a regular file.
std::shared_ptr<BodySource> fileBody(const std::string& path, std::string* error = nullptr);

struct Response {
  int status = 200;
  std::string reason = "OK";
  Headers headers;   // repeated names give repeated headers
  std::string body;  // the whole body, raw bytes
  // When set, the body comes from here and `body` is not used.
  std::shared_ptr<BodySource> bodySource;
};

// The right to answer one paused request. Thread-safe: complete or fail it from any thread, once.
// A deferral released without a reply fails its request, so no page waits for ever.
class Deferral {
 public:
  virtual ~Deferral() = default;
  // Answers the request. Status 0 fails it instead (the page sees a network error). The reason
  // phrase and the headers are made valid for HTTP first (see `sanitizeResponse`). Returns
  // `closed` / `browserGone` when the request is gone, `failed` when already answered.
  virtual Result complete(Response response) = 0;
  // Fails the request (the page sees a network error).
  virtual Result fail() = 0;
  virtual bool done() const = 0;
};

// What a resource-requested handler receives. The handler takes the deferral to answer later, on
// any thread; when nobody takes it, the request fails once the handler has returned.
class ResourceRequestedEvent {
 public:
  ResourceRequestedEvent(Request request, std::shared_ptr<Deferral> deferral,
                         bool requestUnavailable = false, bool deferralUnavailable = false);
  // False when the engine cannot give the request (the fake can make it so).
  bool getRequest(Request& out) const;
  const Request& request() const { return request_; }
  // Null when the engine cannot give a deferral; the request is then failed.
  std::shared_ptr<Deferral> getDeferral();

 private:
  Request request_;
  std::shared_ptr<Deferral> deferral_;
  bool requestUnavailable_;
  bool deferralUnavailable_;
};

struct Rect {
  int32_t x = 0;
  int32_t y = 0;
  int32_t width = 0;
  int32_t height = 0;
  bool operator==(const Rect&) const = default;
};

struct Color {
  uint8_t a = 255;
  uint8_t r = 255;
  uint8_t g = 255;
  uint8_t b = 255;
  bool operator==(const Color&) const = default;
};

// Stored settings; the engine keeps them and answers them back.
struct Settings {
  bool devToolsEnabled = true;
  bool zoomControlEnabled = true;
  bool statusBarEnabled = true;
  bool defaultScriptDialogsEnabled = true;
  bool builtInErrorPageEnabled = true;
  bool browserAcceleratorKeysEnabled = true;
  bool externalDropAllowed = true;
  bool operator==(const Settings&) const = default;
};

// A top-frame navigation about to start. The handler may set `cancel`: the navigation is then
// dropped and the current document stays. Navigations the browser makes to schemes it does not
// load over the network (about:, data:) are reported too, but cannot be cancelled. A page's own
// navigation to a file: URL is always stopped by the engine (the browser would put a blank page
// in its place): it is reported with `cancel` set and `cancellable` false, and id 0.
struct NavigationStarting {
  uint64_t navigationId = 0;
  std::string url;
  bool cancel = false;
  bool cancellable = true;
};

struct NavigationCompleted {
  uint64_t navigationId = 0;
  bool success = false;
  std::string url;        // the document's URL; the failed URL after a failure
  std::string errorText;  // the engine's reason after a failure
};

struct WebMessage {
  std::string json;     // the message as JSON text (a string message is quoted)
  bool isString = false;
  std::string text;     // the string itself when isString
};

// What a context menu is opened on.
enum class ContextMenuTargetKind { page, image, selectedText, audio, video };

struct ContextMenuItem {
  std::string name;   // the engine's stable name ("cut", "copy", "back", "inspectElement" ...)
  std::string label;  // the text shown
};

// A context menu about to be shown. The handler may remove items, or set `handled` so that no
// menu is shown at all.
struct ContextMenuRequested {
  std::vector<ContextMenuItem> items;
  ContextMenuTargetKind kind = ContextMenuTargetKind::page;
  bool isEditable = false;
  int32_t x = 0;  // where, in CSS pixels of the page
  int32_t y = 0;
  bool handled = false;
};

// How a document is printed to PDF. Lengths in inches.
struct PdfSettings {
  double paperWidth = 8.5;
  double paperHeight = 11.0;
  double marginTop = 0, marginBottom = 0, marginLeft = 0, marginRight = 0;
  double scale = 1.0;  // 0.1 .. 2
  bool landscape = false;
  bool printBackground = false;
  // With header and footer: the title at the top (with the date), the address text and the page
  // numbers at the bottom. Both texts are plain text, shown as they are.
  bool displayHeaderFooter = false;
  std::string headerTitle;
  std::string footerUri;
};

// The header and footer templates the browser prints with: the texts HTML-escaped.
std::string pdfHeaderTemplate(const std::string& title);
std::string pdfFooterTemplate(const std::string& uri);
// Escapes &, <, >, " and ' for HTML text and attributes.
std::string escapeHtml(const std::string& text);

enum class ScriptDialogKind { alert, confirm, prompt, beforeunload };

// The right to answer one script dialog, once, from any thread. Released without an answer, the
// dialog gets the engine's own answer (alerts and beforeunload accepted, the others declined), so
// the page never waits for ever.
class ScriptDialogDeferral {
 public:
  virtual ~ScriptDialogDeferral() = default;
  // Accepts the dialog; `text` is a prompt's answer. Returns `failed` when already answered,
  // `closed` / `browserGone` when the page is gone.
  virtual Result accept(const std::string& text = std::string()) = 0;
  virtual Result dismiss() = 0;
  virtual bool done() const = 0;
};

// A page opened alert(), confirm(), prompt() or a beforeunload question. The handler takes the
// deferral to answer later; when nobody takes it, the engine answers as said above.
struct ScriptDialogOpening {
  ScriptDialogKind kind = ScriptDialogKind::alert;
  std::string message;
  std::string defaultText;  // a prompt's default answer
  std::string url;          // the document that opened it
  std::shared_ptr<ScriptDialogDeferral> deferral;
  // Takes the deferral (null when already taken).
  std::shared_ptr<ScriptDialogDeferral> getDeferral() { return std::move(deferral); }
};

const char* scriptDialogKindName(ScriptDialogKind kind);

// The handlers a webview's owner sets. Each runs on the owner's thread (through the executor),
// never after the webview was closed.
struct WebviewEvents {
  std::function<void(ResourceRequestedEvent&)> resourceRequested;
  std::function<void(NavigationStarting&)> navigationStarting;
  std::function<void(const NavigationCompleted&)> navigationCompleted;
  std::function<void(const std::string& title)> titleChanged;
  std::function<void(const WebMessage&)> webMessageReceived;
  // The page's process or the whole browser ended; the webview is dead afterwards.
  std::function<void(const std::string& reason)> processFailed;
  // Headless Chromium shows no context menus: only the fake engine raises this one.
  std::function<void(ContextMenuRequested&)> contextMenuRequested;
  std::function<void(ScriptDialogOpening&)> scriptDialogOpening;
};

// The controller side of a webview.
class Controller {
 public:
  virtual ~Controller() = default;
  // In physical pixels. A zero width or height leaves the viewport as the engine has it.
  virtual Result setBounds(Rect bounds) = 0;
  virtual Rect bounds() const = 0;
  // Physical pixels per CSS pixel of the monitor (1.0, 1.5, 2.0 ...); > 0.
  virtual Result setDeviceScaleFactor(double scale) = 0;
  virtual double deviceScaleFactor() const = 0;
  // Page zoom; > 0.
  virtual Result setZoomFactor(double zoom) = 0;
  virtual double zoomFactor() const = 0;
  // Alpha must be 0 (transparent) or 255 (opaque).
  virtual Result setBackgroundColor(Color color) = 0;
  virtual Color backgroundColor() const = 0;
  virtual Result setVisible(bool visible) = 0;
  virtual bool visible() const = 0;
  // Ends the page: fails its paused requests and pending completions (with `closed`), stops its
  // events. Closing twice is harmless.
  virtual Result close() = 0;
  virtual bool closed() const = 0;
};

// The core side of a webview.
class CoreWebview {
 public:
  virtual ~CoreWebview() = default;
  virtual void setEvents(WebviewEvents events) = 0;

  virtual Settings settings() const = 0;
  virtual Result setSettings(const Settings& settings) = 0;

  // Requests to this host name (any scheme, any path) raise resource-requested. Host names are
  // matched as given, so ".pelmora" is its own host.
  virtual Result addRequestFilter(const std::string& host) = 0;

  virtual Result navigate(const std::string& url) = 0;
  virtual Result navigateToString(const std::string& html) = 0;
  virtual std::string source() const = 0;         // the current document's URL
  virtual std::string documentTitle() const = 0;

  // The script runs at every new document, before its own scripts, in the order added. The
  // completion receives the script's id.
  virtual Result addScriptOnDocumentCreated(const std::string& script,
                                            std::function<void(Result, const std::string& id)> done) = 0;
  virtual Result removeScriptOnDocumentCreated(const std::string& id) = 0;

  // Runs the script in the current document. The completion receives its value as JSON text;
  // undefined, values JSON cannot hold and thrown exceptions give "null".
  virtual Result executeScript(const std::string& script,
                               std::function<void(Result, const std::string& json)> done) = 0;

  // Messages to the page: they reach `window.chrome.webview`'s "message" listeners with the
  // value (JSON) or the string as `event.data`.
  virtual Result postWebMessageAsJson(const std::string& json) = 0;
  virtual Result postWebMessageAsString(const std::string& text) = 0;

  // The page's pixels as they are shown, as PNG bytes (device pixels). Engines that cannot show
  // pixels answer `failed`.
  virtual Result capturePng(std::function<void(Result, const std::string& png)> done) {
    if (done) done(Result::failed, std::string());
    return Result::failed;
  }

  // Prints the current document to a PDF file at `path`. The file appears whole or not at all:
  // it is written beside `path` under a temporary name and renamed at the end; on any failure
  // the temporary file is removed and `path` is left as it was. The completion receives ok, or
  // the failure (`closed` / `browserGone` when the page or the browser went first) with a reason.
  virtual Result printToPdf(const PdfSettings& settings, const std::string& path,
                            std::function<void(Result, const std::string& error)> done) = 0;
};

class Webview : public Controller, public CoreWebview {};

struct EnvironmentOptions {
  std::string userDataFolder;    // made when missing
  std::string browserArguments;  // one text, split like a command line (double quotes group)
  std::string browserPath = "/usr/bin/chromium";
  std::string browserLog;        // where the browser's own output goes; empty: discarded
};

class Environment {
 public:
  virtual ~Environment() = default;
  // Makes a webview; the completion gets it ready for use (or a failure and null).
  virtual void createWebview(std::function<void(Result, std::shared_ptr<Webview>)> done) = 0;
  // Called (through the executor) when the browser ends without being asked to.
  virtual void setBrowserExitedHandler(std::function<void(const std::string& reason)> handler) = 0;
  virtual bool browserAlive() const = 0;
  virtual std::string browserVersion() const = 0;
  // Marks a path prefix ("/getimage") whose requests may carry large bodies either way, on every
  // host the webviews filter. The owner's request and reply objects are the same for them; the
  // engine may carry them on another road. Letter case is ignored; the prefix starts with "/".
  virtual Result addLargeContentPath(const std::string& prefix) = 0;
  // Ends the browser and everything in it. The destructor does the same.
  virtual void close() = 0;
};

using EnvironmentCompletion =
    std::function<void(Result, std::shared_ptr<Environment>, const std::string& error)>;

class Engine {
 public:
  virtual ~Engine() = default;
  virtual void createEnvironment(EnvironmentOptions options, Executor executor,
                                 EnvironmentCompletion done) = 0;
};

// --- helpers shared by the engines ---

// Makes a reply valid for HTTP: a status of 0 stays 0 (a failure); a reason phrase keeps only
// printable ASCII (CR, LF, control characters and non-ASCII bytes go), and falls back to the
// usual phrase of the code, or "Status"; header names that are not HTTP tokens are dropped, and
// values lose CR, LF, control characters (tab kept) and non-ASCII bytes.
void sanitizeResponse(Response& response);
// The usual reason phrase of a status code, or "" when it has none.
const char* standardReason(int status);
// Splits a command line: blanks separate, double quotes group and are removed.
std::vector<std::string> splitArguments(const std::string& text);

}  // namespace desk::web
