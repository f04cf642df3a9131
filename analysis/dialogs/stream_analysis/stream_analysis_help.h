// The texts that explain the Stream Analysis window in the user's language:
// what each check measures, its limit and its usual causes (the checks'
// tooltips and the Help tab), and the Getting started page of Help.
#pragma once

#include <QString>

#include "analysis/health/stream_health.h"

class QWidget;

QString CheckHelpText(HealthCheck check);
// "What does this check mean?" with every check, each under an anchor named
// by its number ("check-1.4"), for a QTextBrowser.
QString ChecksHelpHtml();
QString CheckHelpAnchor(HealthCheck check);
// Analyse a file, start the simulator, capture, point an antenna.
QString GettingStartedHtml();
// Help > Getting started: the page in a window of its own (not modal).
void ShowGettingStarted(QWidget* parent);
