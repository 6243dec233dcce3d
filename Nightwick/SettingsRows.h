#pragma once

// The rows of the settings page and the pieces they are made of.

#include "AppModel.h"
#include "Look.h"

#include <QAbstractButton>
#include <QColor>
#include <QList>
#include <QString>
#include <QWidget>

#include <functional>
#include <optional>

class QKeyEvent;

// Text in one colour, in the font inherited from the page unless given its own. Several lines
// may be separated by '\n', with extra space between them.
class TextLine : public QWidget {
    Q_OBJECT
public:
    TextLine(const QString& text, const QColor& colour, QWidget* parent = nullptr);

    void setText(const QString& text);
    void setExtraLineSpacing(int pixels);

    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    QString m_text;
    QColor m_colour;
    int m_extraLineSpacing = 0;
};

// Space activates a focused button as Qt has it; Enter and Return do too, as on any desktop.
bool isEnterKey(const QKeyEvent& event);

// One selectable word: a reversed block while selected, dim text otherwise. Tab reaches it,
// a click does not focus it; while focused it is framed. To assistive tools it is a radio
// button, checked while selected.
class ChoiceButton : public QAbstractButton {
    Q_OBJECT
public:
    static constexpr int horizontalInset = 7;
    static constexpr int verticalInset = 2;

    ChoiceButton(const QString& label, QWidget* parent = nullptr);

    bool isSelected() const { return isChecked(); }
    void setSelected(bool selected);

    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void focusInEvent(QFocusEvent* event) override;
    // Only the page selects, from the model: a click leaves the checked state alone.
    void nextCheckState() override {}
};

// A row of choices, 6 apart, at their preferred sizes. The row does not remember a choice: the page
// tells it which one is selected, from the model.
class ChoiceRow : public QWidget {
    Q_OBJECT
public:
    struct Choice {
        QString label;
        std::function<void()> choose;
        QString accessibleName; // what a screen reader says for it
    };

    explicit ChoiceRow(const QList<Choice>& choices, QWidget* parent = nullptr);

    // Nothing highlights when the index is absent.
    void setSelected(std::optional<qsizetype> index);

private:
    QList<ChoiceButton*> m_buttons;
};

// The content of the "mouse" row: "not connected", or the level, a bar of 20 cells and
// "charging" while the mouse is on its cable.
class BatteryLine : public QWidget {
    Q_OBJECT
public:
    explicit BatteryLine(QWidget* parent = nullptr);

    void showBattery(const std::optional<MouseBattery>& battery, qint64 threshold);

    // "5%  ", "85% ", "100%": always four characters, so the bar starts at one place.
    static QString percentText(qint64 percent);
    // The bar turns red once the level is at or below the threshold, unless it is charging.
    static QColor barFill(const MouseBattery& battery, qint64 threshold);

private:
    TextLine* m_status = nullptr;
    TextLine* m_percent = nullptr;
    BlockBar* m_bar = nullptr;
    TextLine* m_charging = nullptr;
};

// A clickable command line: a ">" prompt and the title, lit while the pointer is over it or
// while it has the keyboard focus, which also underlines the title. The page changes its
// title and tint in place, so the hover state survives the change.
class CommandRow : public QAbstractButton {
    Q_OBJECT
public:
    static constexpr int promptGap = 10;

    struct Colours {
        QColor prompt;
        QColor title;
    };
    // An ordinary command (tint Mono::text) idles dim and lights up fully; any other tint
    // keeps the title in that tint and only lights the prompt.
    static Colours colours(bool hovering, const QColor& tint);

    CommandRow(const QString& title, const QColor& tint, std::function<void()> action,
               QWidget* parent = nullptr);

    void setTitle(const QString& title);
    void setTint(const QColor& tint);
    Colours currentColours() const { return colours(m_hovering || hasFocus(), m_tint); }

    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void enterEvent(QEnterEvent* event) override;
    void leaveEvent(QEvent* event) override;

private:
    QColor m_tint;
    std::function<void()> m_action;
    bool m_hovering = false;
};
