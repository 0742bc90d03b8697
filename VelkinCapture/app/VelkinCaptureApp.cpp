// Placeholder: filled in next.
