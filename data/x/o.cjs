/* Quarnel's skin, applied to the main window as a Qt style sheet when this file is
   present.
   Every rule names the window's own frames and labels, by name and as direct
   children, so a message box or a dialog opened over the window takes none of it.
   Every colour is a role of the palette, so the skin follows a light and a dark
   system palette alike: frames and labels share the button face of the window
   behind them and write in the button text colour that belongs to it.
   Colours only: fonts, sizes and spacing stay the window's own, so no caption
   can be clipped. */
#Form1 > QGroupBox#Frame1,
#Form1 > QGroupBox#Frame2,
#Form1 > QGroupBox#Frame1 > QLabel,
#Form1 > QGroupBox#Frame2 > QLabel {
    background-color: palette(button);
    color: palette(button-text);
}
