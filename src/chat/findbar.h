#pragma once

#include <QList>
#include <QTextCursor>
#include <QTimer>
#include <QWidget>

class QLabel;
class QLineEdit;
class QTextEdit;

// Find in the transcript: a slim bar over the pane's bottom edge, hidden until opened. The
// matches in view are highlighted and the current one marked; the count reads "3 / 12". Return
// and Shift+Return step forward and back, Esc closes it and takes the highlights away. It
// follows the pane's text as it changes: a reply streaming in, or the whole transcript drawn
// anew.
class FindBar : public QWidget
{
public:
    explicit FindBar(QTextEdit* pane);

    void openBar();  // shows the bar with the field focused and its text selected
    void closeBar(); // hides the bar and clears the highlights
    // Opens the bar on `text` with the first match at or after document position `from` as
    // the current one.
    void openAt(const QString& text, int from);

    int matchCount() const { return int(matches.size()); }
    int currentIndex() const { return current; } // -1 when there is no match
    QLineEdit* field() const { return input; }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void search();                          // finds every match of the field's text again
    void step(int offset);                  // moves the current match by `offset`, wrapping around
    void showMatches(bool scrollToCurrent); // the count, the current match, the marks
    void markNearView();                    // highlights the matches in and around the view
    QTextCursor matchCursor(int index) const; // selects the match
    void placeOverPane();

    QTextEdit* pane;
    QWidget* paneViewport; // the pane's text area, which it keeps for its life
    QLineEdit* input;
    QLabel* count;
    QList<int> matches; // where each match begins, in order
    int matchLength = 0;
    int current = -1;
    int currentStart = 0; // where the current match begins, kept while the matches are gone
    QTimer researchSoon;  // the pane's text changed: search again, once per burst of changes
    int markedFrom = 0;   // the scroll positions at which the marks cover the whole view
    int markedTo = -1;
};
