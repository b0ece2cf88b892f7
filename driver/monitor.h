#pragma once
// The switch's console messages: framed "^...$" text collected byte by byte and dispatched
// by its leading keyword.

extern char monitorLine[256];
extern int monitorLength;

void monitorFeed(int byte);
// 0 when a handler ran, 1 when no keyword matched.
int monitorDispatch(const char* message);
void onProgressMessage();
void onReadyMessage();
