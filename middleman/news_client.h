// The editor's side of the news service: asks the plug-in's shared store for its texts
// at start, makes and stores an installation id when none exists, brings the stored
// release notes up to the bundled ones, stores the values at the end of each gesture
// and fetches the values last stored by any instance for "Recall last".
#pragma once

#include <cstddef>

#include "param_display.h"

inline constexpr char news_token[] = "vellum-grist-saturator";

struct news_sink {
    void* context;
    // One complete WebSocket text message (the "m " kind prefix included).
    void (*send)(void* context, const char* text, size_t size);
    // Values fetched for a recall.
    void (*recall)(void* context, const float values[mm_param_count]);
};

struct news_client {
    news_sink sink;
    char* bundled;      // Contents/Resources/news.txt, or null
    char* notes;        // the notes shown: the store's text or the bundled one; or null
    char* sid;          // installation id, or null until known
    char* latest;       // latest text of the current start-up round, or null
    bool started;       // the first start-up round has ended
    bool recall_pending;
    int sync_attempts;  // conditional news replaces sent (at most two)
};

// Takes ownership of `bundled` (may be null).
void news_init(news_client* n, const news_sink* sink, char* bundled);
void news_free(news_client* n);
// Sends the start-up request.
void news_start(news_client* n);
// One incoming news text (without the "m " prefix).
void news_handle(news_client* n, const char* text, size_t size);
// Stores the six values as the latest text.
void news_store_latest(news_client* n, const float values[mm_param_count]);
// Fetches the latest text afresh and applies it through the sink.
void news_request_recall(news_client* n);

// The 8-character revision at the start of a notes text; false when the text does not
// begin with eight decimal digits.
bool news_revision(const char* text, char revision[9]);
// The notes' first non-blank line after the revision line, trimmed; writes at most
// `capacity` bytes. Returns its length.
size_t news_headline(const char* text, char* out, size_t capacity);
// The notes without their revision line.
const char* news_body(const char* text);
// The notes after their headline, leading blank lines skipped.
const char* news_details(const char* text);
// The latest text for six values, and back (false when it is not six values).
void news_format_latest(const float values[mm_param_count], char out[64]);
bool news_parse_latest(const char* text, float values[mm_param_count]);
