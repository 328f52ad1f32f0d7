// The plug-in's side of the editor's "tidelV1" news messages: each message reads or
// replaces one of the shared data files and is answered, if at all, on the link it
// came from.
#pragma once

struct editor_link;

// The one thing the news messages need from the editor link: send a text that the
// link prefixes with "m ".
void editor_link_send_text(editor_link* link, const char* text);

// The editor link's text handler: text is an incoming "m" message without its kind
// prefix. Messages that match no known prefix, or that are malformed, are ignored.
void handle_news_message(editor_link* link, const char* text);
