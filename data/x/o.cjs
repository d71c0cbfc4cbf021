/* Quarnel's skin, applied as a Qt style sheet when this file is present.
   Colours only: fonts, sizes and spacing stay the window's own, so no caption
   can be clipped. Frames and labels share the window's background so that no
   patch of another colour shows behind them. */
#Form1, #Form1 QGroupBox, #Form1 QLabel {
    background-color: #e8eef5;
}
#Form1 QGroupBox {
    color: #28567f;
}
#Form1 QLabel {
    color: #1f2d3d;
}
