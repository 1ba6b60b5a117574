#pragma once
// The box that tells, after the load, that the configuration file is behind the service.

class QWidget;
class TPartnerLink;

// Shows one information box over the window, titled as the window, when the file the link read at
// its load was behind the service; nothing otherwise.
void ShowFileBehind(QWidget* window, const TPartnerLink& link);
