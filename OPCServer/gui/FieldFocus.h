#pragma once

class QWidget;

// Selects the whole content of the field at fault and gives it the focus,
// as a refused OK leaves the dialog: a number or text field is selected in
// full, an address field at its first part.
void SelectAndFocus(QWidget* field);
