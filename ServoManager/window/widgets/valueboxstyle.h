#pragma once

class QStyle;

// The style the value spin boxes draw with: the application's own, but handing it the same
// palette object for the same colours. A style sheet colours a spin box by giving the style a
// freshly changed palette at every repaint, and the style files its picture of the box under
// the palette's identity: every repaint left one more picture in the shared pixmap cache, up to
// its 10 MB limit, so a polled box whose value keeps changing grew the program. Owned by the
// application; not the style of the boxes' children.
QStyle* valueBoxStyle();
