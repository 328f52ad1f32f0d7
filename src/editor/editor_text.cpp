#include <stdlib.h>
#include <string.h>

#include "editor/editor_link_record.h"

// Kept apart from the other senders: the news messages need only this one.
void editor_link_send_text(editor_link* link, const char* text)
{
    size_t length = strlen(text);
    char* message = (char*)malloc(length + 3);
    if (!message)
        return;
    message[0] = 'm';
    message[1] = ' ';
    memcpy(message + 2, text, length + 1);
    ws_send_text(&link->reader, message, length + 2);
    free(message);
}
