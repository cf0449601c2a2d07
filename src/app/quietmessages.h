#pragma once

// The client writes nothing to a console: drops every message of the toolkit.
void silenceToolkitMessages();
