#pragma once
// The switch's console messages: framed "^...$" text collected byte by byte and dispatched
// by its leading keyword.

extern char monitorLine[256];
extern int monitorLength;

void monitorFeed(int byte);
constexpr int kDispatchHandled = 0;    // a keyword matched and its handler ran
constexpr int kDispatchNoKeyword = 1;  // dropped without output
int monitorDispatch(const char* message);
void onProgressMessage();
void onReadyMessage();
