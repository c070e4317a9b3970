// The download window: the splash image, the progress bar, the one-line status
// text and the one button, top to bottom.
extern const char kDownloadWindowUi[] = R"UI(<?xml version="1.0" encoding="UTF-8"?>
<interface>
  <requires lib="gtk+" version="3.20"/>
  <object class="GtkWindow" id="window">
    <property name="resizable">False</property>
    <property name="window-position">center-always</property>
    <property name="border-width">16</property>
    <child>
      <object class="GtkBox" id="content">
        <property name="visible">True</property>
        <property name="orientation">vertical</property>
        <property name="spacing">12</property>
        <child>
          <object class="GtkImage" id="image">
            <property name="visible">True</property>
            <property name="halign">center</property>
          </object>
        </child>
        <child>
          <object class="GtkProgressBar" id="progress">
            <property name="visible">True</property>
            <property name="width-request">400</property>
            <property name="pulse-step">0.05</property>
          </object>
        </child>
        <child>
          <object class="GtkLabel" id="status">
            <property name="visible">True</property>
            <property name="xalign">0</property>
            <property name="ellipsize">end</property>
            <property name="max-width-chars">60</property>
          </object>
        </child>
        <child>
          <object class="GtkButton" id="button">
            <property name="label">Cancel</property>
            <property name="visible">True</property>
            <property name="halign">end</property>
          </object>
        </child>
      </object>
    </child>
  </object>
</interface>
)UI";
