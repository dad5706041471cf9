package de.zavrio.quilmar.io;

/** An event of the board's IO, as the application receives it. */
public interface QuilmarIOEvent {}
