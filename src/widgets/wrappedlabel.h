#pragma once

class QLabel;

// Word-wrapped label of service or user text: a word too long for the line (an address, a
// long token in an error text) is cut off at the edge instead of widening the window.
void keepWrappedWithinWidth(QLabel* label);
